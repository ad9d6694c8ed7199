#include "RunWait.h"

#include "Design.h"
#include "Failure.h"
#include "TypeAhead.h"

#include <QCloseEvent>
#include <QDialog>
#include <QEventLoop>
#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace morvane {

namespace {

// The window a long run shows: what is happening, and Cancel. It stays until
// the run has ended, cancelled or not, so the windows behind it take no input
// meanwhile; Esc and the close box cancel like the button.
class ProgressWindow : public QDialog
{
public:
    ProgressWindow(QWidget *owner, DatabaseThread &thread)
        : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
        , m_thread(thread)
        , m_label(new QLabel(QStringLiteral("Running the statement..."), this))
        , m_cancel(new QPushButton(QStringLiteral("Cancel"), this))
    {
        setObjectName(QStringLiteral("frmProgress"));
        setWindowTitle(QGuiApplication::applicationDisplayName());
        setWindowModality(Qt::ApplicationModal);
        setFont(designFont());
        m_cancel->setObjectName(QStringLiteral("cmdCancel"));
        auto *layout = new QVBoxLayout(this);
        layout->addWidget(m_label);
        layout->addWidget(m_cancel, 0, Qt::AlignRight);
        connect(m_cancel, &QPushButton::clicked, this, &ProgressWindow::cancel);
    }

protected:
    void reject() override { cancel(); }
    void closeEvent(QCloseEvent *event) override
    {
        event->ignore();
        cancel();
    }

private:
    void cancel()
    {
        m_label->setText(QStringLiteral("Cancelling..."));
        m_cancel->setEnabled(false);
        m_thread.cancel();
    }

    DatabaseThread &m_thread;
    QLabel *m_label;
    QPushButton *m_cancel;
};

// Most runs end within this: the window waits for them as for any quick
// handler, well inside what a user notices, and paints once they are done.
constexpr int quickRunMs = 25;

// The progress window takes the keyboard; it goes back where it was.
void showProgressUntilEnd(QWidget *window, DatabaseThread &thread, QEventLoop &loop)
{
    const QPointer<QWidget> focus = QApplication::focusWidget();
    {
        ProgressWindow progress(window, thread);
        progress.show();
        loop.exec();
    }
    if (focus) {
        focus->activateWindow();
        focus->setFocus(Qt::OtherFocusReason);
    }
}

void rethrowFailure(DatabaseThread &thread)
{
    if (std::exception_ptr failure = thread.takeFailure())
        std::rethrow_exception(failure);
}

} // namespace

void RunWait::wait(QWidget *window, DatabaseThread &thread, Database *interruptible, DatabaseThread::Job job,
                   int progressDelayMs)
{
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const auto restoreCursor = qScopeGuard([] { QGuiApplication::restoreOverrideCursor(); });

    QEventLoop loop;
    QObject::connect(&thread, &DatabaseThread::finished, &loop, &QEventLoop::quit);
    thread.start(std::move(job), interruptible);
    if (thread.waitBriefly(quickRunMs))
        return rethrowFailure(thread);

    // Most runs end well within the delay: they show no progress window, and
    // the input typed meanwhile is handled once they have ended.
    QTimer delay;
    delay.setSingleShot(true);
    QObject::connect(&delay, &QTimer::timeout, &loop, &QEventLoop::quit);
    delay.start(progressDelayMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (thread.isBusy()) {
        auto *typed = new TypeAhead(window);
        const auto deliverTyped = qScopeGuard([typed] { typed->deliverWhenFree(); });
        typed->collectPending();
        if (thread.isBusy())
            showProgressUntilEnd(window, thread, loop);
    }
    // The program is ending (its event loops were told to quit): the job
    // runs on until the thread stops it.
    if (thread.isBusy())
        throw Failure(QStringLiteral("The program is ending."));
    rethrowFailure(thread);
}

void RunWait::onWindowThread(QObject *window, const std::function<void()> &call)
{
    const bool here = window->thread() == QThread::currentThread();
    QMetaObject::invokeMethod(window, call, here ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
}

} // namespace morvane
