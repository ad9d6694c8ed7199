#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>

namespace morvane {

// The start-up benchmark's stopwatch: it prints "shown" once the first window
// is on screen and quits. Only the benchmark's own builds of the program and
// of its one-dialog baseline carry it, so both stop at the same moment; the
// program users run never does. A child of the application it watches.
class ExitWhenShown final : public QObject
{
public:
    explicit ExitWhenShown(QCoreApplication &app)
        : QObject(&app)
    {
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
