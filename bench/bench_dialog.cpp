// The start-up benchmark's baseline: the least a Qt Widgets program does to
// show one dialog with a line of text, with the same "shown" report as the
// program. With --empty the dialog holds no text, so no font is ever loaded.
#include "ExitWhenShown.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    morvane::ExitWhenShown exitWhenShown(app);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Dialog"));
    if (!QApplication::arguments().contains(QStringLiteral("--empty")))
        (new QLabel(QStringLiteral("Path:"), &dialog))->move(12, 12);
    dialog.show();
    return QApplication::exec();
}
