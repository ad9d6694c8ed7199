#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace morvane {

class SettingsStore;

// The database selection dialog: the user types a path and opens it. On
// success the open database becomes the process's one database, the path is
// remembered and the query window takes this dialog's place.
class frmDB : public QDialog
{
    Q_OBJECT

public:
    frmDB();
    ~frmDB() override;

    QLabel *Label1;
    QLineEdit *Text1;
    QPushButton *Command1;
    QPushButton *Command2;

protected:
    void showEvent(QShowEvent *event) override;
    // Esc, Cancel and the close box all end the dialog the same way.
    void reject() override;

private:
    void Form_Load();
    void Command1_Click();
    void Command2_Click();

    std::unique_ptr<SettingsStore> m_settings;
};

} // namespace morvane
