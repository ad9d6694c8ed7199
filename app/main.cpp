#include "AppContext.h"
#include "DatabaseThread.h"
#include "SettingsStore.h"
#include "StartUp.h"
#include "mdlMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(morvane::SettingsStore::applicationTitle);
    QApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
    // Names the installed desktop entry, so that a Wayland desktop shows the
    // program's own icon and name for its windows.
    QGuiApplication::setDesktopFileName(QStringLiteral(MORVANE_APP_ID));
    morvane::SettingsStore settings;
    morvane::DatabaseThread databaseThread;
    morvane::AppContext context{settings, databaseThread, morvane::dbMain, {}, 1000};
    morvane::Main(context);
    const int status = QApplication::exec();
    morvane::dbMain.reset();
    return status;
}
