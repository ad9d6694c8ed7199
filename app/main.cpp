#include "AppContext.h"
#include "Database.h"
#include "DatabaseThread.h"
#include "SettingsStore.h"
#include "StartUp.h"

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
    // The one open database. Declared before the thread that works on it, so
    // that the thread is stopped and joined before the database goes.
    std::unique_ptr<morvane::Database> dbMain;
    morvane::DatabaseThread databaseThread;
    morvane::AppContext context{settings, databaseThread, dbMain, {}, 1000};
    morvane::Main(context);
    return QApplication::exec();
}
