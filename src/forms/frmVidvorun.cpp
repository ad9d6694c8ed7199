#include "frmVidvorun.h"

#include "Design.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

namespace morvane {

const QString frmVidvorun::initialMessage = QStringLiteral("Database was not found.");

frmVidvorun::frmVidvorun()
    : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , Label1(new QLabel(initialMessage, this))
    , Command1(new QPushButton(QStringLiteral("Cancel"), this))
{
    setObjectName(QStringLiteral("frmVidvorun"));
    setWindowTitle(QStringLiteral("Viðvörun"));
    setModal(true);
    setFont(designFont());
    const Twips twips(this);
    setFixedSize(twips.rect(0, 0, 2835, 960).size());

    // One line high and wider than the window: a long message is cut off at
    // the window's edge rather than wrapped or elided.
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setTextFormat(Qt::PlainText);
    Label1->setWordWrap(false);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    twips.place(Label1, 135, 105, 2775, 285);

    // Neither default nor cancel button; it has the focus, so Enter and Space
    // close the warning while Esc does nothing.
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setAutoDefault(false);
    Command1->setDefault(false);
    twips.place(Command1, 1695, 525, 1065, 345);
    Command1->setFocus();
    connect(Command1, &QPushButton::clicked, this, &frmVidvorun::Command1_Click);
}

void frmVidvorun::showWarning(const QString &message, const QString &description)
{
    frmVidvorun warning;
    warning.Label1->setText(message);
    warning.Label1->setToolTip(description);
    warning.Label1->setAccessibleDescription(description);
    warning.exec();
}

void frmVidvorun::Command1_Click()
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
        if (Command1->hasFocus()) {
            Command1->click();
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
