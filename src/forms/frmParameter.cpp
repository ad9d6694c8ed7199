#include "frmParameter.h"

#include "Design.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace morvane {

frmParameter::frmParameter(const QString &name, QWidget *owner)
    : QDialog(owner, fixedDialogFlags)
    , lblName(new QLabel(name, this))
    , txtValue(new QLineEdit(this))
    , cmdOK(new QPushButton(QStringLiteral("OK"), this))
    , cmdCancel(new QPushButton(QStringLiteral("Cancel"), this))
{
    setUpFixedDialog(this, QStringLiteral("frmParameter"), QStringLiteral("Enter Parameter Value"), 3600, 1500);
    setModal(true);
    const Twips twips(this);

    lblName->setObjectName(QStringLiteral("lblName"));
    lblName->setTextFormat(Qt::PlainText);
    twips.place(lblName, 120, 120, 3360, 255);
    txtValue->setObjectName(QStringLiteral("txtValue"));
    twips.place(txtValue, 120, 420, 3360, 315);

    // Enter answers, Esc cancels.
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    twips.place(cmdOK, 1260, 960, 1050, 345);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setAutoDefault(false);
    twips.place(cmdCancel, 2430, 960, 1050, 345);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    txtValue->setFocus();
}

std::optional<QString> frmParameter::ask(const QString &name, QWidget *owner)
{
    frmParameter dialog(name, owner);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.txtValue->text();
}

void frmParameter::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    centreOnScreen(this);
}

} // namespace morvane
