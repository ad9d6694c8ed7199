#include "frmVidvorun.h"

#include "Design.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

namespace morvane {

const QString frmVidvorun::initialMessage = QStringLiteral("Database was not found.");

frmVidvorun::frmVidvorun()
    : QDialog(nullptr, fixedDialogFlags)
    , messageLabel(new QLabel(initialMessage, this))
    , closeButton(new QPushButton(QStringLiteral("Cancel"), this))
{
    setUpFixedDialog(this, QStringLiteral("frmVidvorun"), QStringLiteral("Viðvörun"), 2835, 960);
    setModal(true);
    const Twips twips(this);

    // One line high and wider than the window: a long message is cut off at
    // the window's edge rather than wrapped or elided.
    messageLabel->setObjectName(QStringLiteral("Label1"));
    messageLabel->setTextFormat(Qt::PlainText);
    messageLabel->setWordWrap(false);
    messageLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    twips.place(messageLabel, 135, 105, 2775, 285);

    // Neither default nor cancel button; it has the focus, so Enter and Space
    // close the warning while Esc does nothing.
    closeButton->setObjectName(QStringLiteral("Command1"));
    closeButton->setAutoDefault(false);
    closeButton->setDefault(false);
    twips.place(closeButton, 1695, 525, 1065, 345);
    closeButton->setFocus();
    connect(closeButton, &QPushButton::clicked, this, &frmVidvorun::closeButton_Click);
}

void frmVidvorun::showWarning(const QString &message, const QString &description)
{
    frmVidvorun warning;
    warning.messageLabel->setText(message);
    warning.messageLabel->setToolTip(description);
    warning.messageLabel->setAccessibleDescription(description);
    warning.exec();
}

void frmVidvorun::closeButton_Click()
{
    accept();
}

void frmVidvorun::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (closeButton->hasFocus()) {
            closeButton->click();
            return;
        }
        break;
    default:
        break;
    }
    QDialog::keyPressEvent(event);
}

void frmVidvorun::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    centreOnScreen(this);
}

} // namespace morvane
