#pragma once

#include <QDialog>

#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace morvane {

// Asks for the password of a database file encrypted with one: the file's
// name, a password box that hides what is typed, OK and Cancel. Shown
// modally with no owner, like the warning.
class frmPassword : public QDialog
{
    Q_OBJECT

public:
    explicit frmPassword(const QString &fileName);

    // Shows a fresh dialog for `fileName` and waits: the password typed, or
    // nothing when it was cancelled. The box is emptied before this returns,
    // so the text handed back is the only copy the dialog leaves.
    static std::optional<QString> ask(const QString &fileName);

    QLabel *Label1;
    QLabel *Label2;
    QLineEdit *Text1;
    QPushButton *Command1;
    QPushButton *Command2;

protected:
    void showEvent(QShowEvent *event) override;
};

} // namespace morvane
