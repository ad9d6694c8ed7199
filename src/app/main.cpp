#include "ExitWhenShown.h"
#include "SettingsStore.h"
#include "mdlMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(morvane::SettingsStore::applicationTitle);
    QApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
    morvane::ExitWhenShown exitWhenShown;
    exitWhenShown.installIfRequested(app);
    morvane::Main();
    return QApplication::exec();
}
