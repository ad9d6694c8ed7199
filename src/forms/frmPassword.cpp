#include "frmPassword.h"

#include "Design.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace morvane {

frmPassword::frmPassword(const QString &fileName)
    : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , Label1(new QLabel(this))
    , Label2(new QLabel(QStringLiteral("Password:"), this))
    , Text1(new QLineEdit(this))
    , Command1(new QPushButton(QStringLiteral("OK"), this))
    , Command2(new QPushButton(QStringLiteral("Cancel"), this))
{
    setObjectName(QStringLiteral("frmPassword"));
    setWindowTitle(QStringLiteral("Password"));
    setModal(true);
    setFont(designFont());
    const Twips twips(this);
    setFixedSize(twips.rect(0, 0, 4440, 1485).size());

    // A long name is shortened in its middle, where it says least.
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setTextFormat(Qt::PlainText);
    twips.place(Label1, 180, 180, 4080, 240);
    const QString rest = QStringLiteral(" is encrypted with a password.");
    const QFontMetrics metrics = Label1->fontMetrics();
    const QString shown =
        metrics.elidedText(fileName, Qt::ElideMiddle, Label1->width() - metrics.horizontalAdvance(rest));
    Label1->setText(shown + rest);
    Label1->setToolTip(fileName);

    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setBuddy(Text1);
    twips.place(Label2, 180, 585, 855, 240);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setAccessibleName(QStringLiteral("Password"));
    Text1->setEchoMode(QLineEdit::Password);
    twips.place(Text1, 1035, 540, 3345, 330);

    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setDefault(true);
    twips.place(Command1, 2370, 1020, 960, 345);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command2->setAutoDefault(true);
    twips.place(Command2, 3405, 1020, 960, 345);
    setTabOrder(Text1, Command1);
    setTabOrder(Command1, Command2);
    Text1->setFocus();

    connect(Command1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Command2, &QPushButton::clicked, this, &QDialog::reject);
}

std::optional<QString> frmPassword::ask(const QString &fileName)
{
    frmPassword dialog(fileName);
    const bool answered = dialog.exec() == QDialog::Accepted;
    QString password = dialog.Text1->text();
    dialog.Text1->clear();
    if (!answered)
        return std::nullopt;
    return password;
}

void frmPassword::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    centreOnScreen(this);
    activateWindow();
}

} // namespace morvane
