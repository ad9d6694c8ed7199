#include "RunWait.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QProgressDialog>
#include <QScopeGuard>
#include <QTimer>

namespace morvane {

namespace {

void waitWithProgress(QWidget *window, DatabaseThread &thread, QEventLoop &loop)
{
    QProgressDialog progress(QStringLiteral("Running the statement..."), QStringLiteral("Cancel"), 0, 0, window);
    progress.setObjectName(QStringLiteral("frmProgress"));
    progress.setWindowTitle(QGuiApplication::applicationDisplayName());
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(0);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    QObject::connect(&progress, &QProgressDialog::canceled, &thread, &DatabaseThread::cancel);
    progress.show();
    loop.exec();
}

} // namespace

void RunWait::run(QWidget *window, DatabaseThread &thread, Database *interruptible, DatabaseThread::Job job,
                  int progressDelayMs)
{
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const auto restoreCursor = qScopeGuard([] { QGuiApplication::restoreOverrideCursor(); });

    QEventLoop loop;
    QObject::connect(&thread, &DatabaseThread::finished, &loop, &QEventLoop::quit);
    thread.start(std::move(job), interruptible);

    // Most runs end well within the delay: they show no progress window, and
    // the input typed meanwhile is handled once they have ended.
    QTimer delay;
    delay.setSingleShot(true);
    QObject::connect(&delay, &QTimer::timeout, &loop, &QEventLoop::quit);
    delay.start(progressDelayMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (thread.isBusy())
        waitWithProgress(window, thread, loop);

    if (std::exception_ptr failure = thread.takeFailure())
        std::rethrow_exception(failure);
}

} // namespace morvane
