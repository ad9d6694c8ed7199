#include "SettingsStore.h"
#include "mdlMain.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {

// The start-up benchmark's stopwatch, not meant for users: with
// MORVANE_EXIT_WHEN_SHOWN set, the program prints "shown" once its first
// window is on screen and quits.
class ExitWhenShown final : public QObject
{
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && watched->isWindowType() && !m_seen) {
            m_seen = true;
            // The window paints while this event is delivered; report after.
            QTimer::singleShot(0, qApp, [] {
                std::fputs("shown\n", stdout);
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return false;
    }

private:
    bool m_seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(morvane::SettingsStore::applicationTitle);
    QApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
    ExitWhenShown exitWhenShown;
    if (qEnvironmentVariableIsSet("MORVANE_EXIT_WHEN_SHOWN"))
        app.installEventFilter(&exitWhenShown);
    morvane::Main();
    return QApplication::exec();
}
