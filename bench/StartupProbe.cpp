// Linked only into the benchmark's copy of the program: it gives that copy
// the stopwatch of bench_dialog as the application is constructed, so the
// program's own main stays exactly the one users run.
#include "ExitWhenShown.h"

#include <QCoreApplication>

namespace {

void installExitWhenShown()
{
    // Owned by the application, like any other child object.
    new morvane::ExitWhenShown(*QCoreApplication::instance());
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installExitWhenShown)
