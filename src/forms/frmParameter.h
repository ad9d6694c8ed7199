#pragma once

#include <QDialog>

#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace morvane {

// Asks for the value of one parameter of a statement, as Access does: the
// parameter's name above a text box, OK and Cancel.
class frmParameter : public QDialog
{
    Q_OBJECT

public:
    explicit frmParameter(const QString &name, QWidget *owner = nullptr);

    // Shows a fresh dialog modally; the text typed, or nothing on Cancel.
    static std::optional<QString> ask(const QString &name, QWidget *owner);

    QLabel *lblName;
    QLineEdit *txtValue;
    QPushButton *cmdOK;
    QPushButton *cmdCancel;

protected:
    void showEvent(QShowEvent *event) override;
};

} // namespace morvane
