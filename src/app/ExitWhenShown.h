#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>

namespace morvane {

// The start-up benchmark's stopwatch, not meant for users: installed on the
// application when MORVANE_EXIT_WHEN_SHOWN is set, it prints "shown" once the
// first window is on screen and quits. The benchmark's one-dialog baseline
// uses the same filter, so both stop at the same moment.
class ExitWhenShown final : public QObject
{
public:
    // Installs the filter on `app` when the environment asks for it.
    void installIfRequested(QCoreApplication &app)
    {
        if (qEnvironmentVariableIsSet("MORVANE_EXIT_WHEN_SHOWN"))
            app.installEventFilter(this);
    }

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

} // namespace morvane
