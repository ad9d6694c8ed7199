#pragma once

#include "PasswordPrompt.h"

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace morvane {

struct AppContext;

// The database selection dialog: the user types a path and opens it. On
// success the open database becomes the process's one database, the path is
// remembered and the query window takes this dialog's place. The file is
// opened on the database thread, so a slow open can be cancelled.
class frmDB : public QDialog
{
    Q_OBJECT

public:
    explicit frmDB(AppContext &context);
    ~frmDB() override;

    QLabel *Label1;
    QLineEdit *Text1;
    QPushButton *Command1;
    QPushButton *Command2;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    // Esc, Cancel and the close box all end the dialog the same way.
    void reject() override;

private:
    void Form_Load();
    void Command1_Click();
    void Command2_Click();
    void rememberPath(const QString &path);
    PasswordPrompt passwordPrompt();

    AppContext &m_context;
    bool m_opening = false;
    bool m_closeAfterOpen = false;
};

} // namespace morvane
