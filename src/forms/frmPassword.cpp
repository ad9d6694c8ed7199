#include "frmPassword.h"

#include "Design.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace morvane {

frmPassword::frmPassword(const QString &fileName)
    : QDialog(nullptr, fixedDialogFlags)
    , fileLabel(new QLabel(this))
    , passwordLabel(new QLabel(QStringLiteral("Password:"), this))
    , passwordBox(new QLineEdit(this))
    , okButton(new QPushButton(QStringLiteral("OK"), this))
    , cancelButton(new QPushButton(QStringLiteral("Cancel"), this))
{
    setUpFixedDialog(this, QStringLiteral("frmPassword"), QStringLiteral("Password"), 4440, 1485);
    setModal(true);
    const Twips twips(this);

    // A long name is shortened in its middle, where it says least.
    fileLabel->setObjectName(QStringLiteral("lblFile"));
    fileLabel->setTextFormat(Qt::PlainText);
    twips.place(fileLabel, 180, 180, 4080, 240);
    const QString rest = QStringLiteral(" is encrypted with a password.");
    const QFontMetrics metrics = fileLabel->fontMetrics();
    const QString shown =
        metrics.elidedText(fileName, Qt::ElideMiddle, fileLabel->width() - metrics.horizontalAdvance(rest));
    fileLabel->setText(shown + rest);
    fileLabel->setToolTip(fileName);

    passwordLabel->setObjectName(QStringLiteral("lblPassword"));
    passwordLabel->setBuddy(passwordBox);
    twips.place(passwordLabel, 180, 585, 855, 240);
    passwordBox->setObjectName(QStringLiteral("txtPassword"));
    passwordBox->setAccessibleName(QStringLiteral("Password"));
    passwordBox->setEchoMode(QLineEdit::Password);
    twips.place(passwordBox, 1035, 540, 3345, 330);

    okButton->setObjectName(QStringLiteral("cmdOK"));
    okButton->setDefault(true);
    twips.place(okButton, 2370, 1020, 960, 345);
    cancelButton->setObjectName(QStringLiteral("cmdCancel"));
    cancelButton->setAutoDefault(true);
    twips.place(cancelButton, 3405, 1020, 960, 345);
    setTabOrder(passwordBox, okButton);
    setTabOrder(okButton, cancelButton);
    passwordBox->setFocus();

    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

std::optional<QString> frmPassword::ask(const QString &fileName)
{
    frmPassword dialog(fileName);
    const bool answered = dialog.exec() == QDialog::Accepted;
    QString password = dialog.passwordBox->text();
    dialog.passwordBox->clear();
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
