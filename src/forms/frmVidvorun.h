#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace morvane {

// The program's one message window: a line of text and a Cancel button,
// always shown modally with no owner.
class frmVidvorun : public QDialog
{
    Q_OBJECT

public:
    static const QString initialMessage;

    frmVidvorun();

    // Creates a fresh warning, sets its message and waits until it is closed.
    // The description, when given, says why in full: the one-line message
    // carries it as its tooltip and accessible description.
    static void showWarning(const QString &message = initialMessage, const QString &description = {});

    QLabel *messageLabel;
    QPushButton *closeButton;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void closeButton_Click();
};

} // namespace morvane
