#include "RunWait.h"

#include "Design.h"
#include "Failure.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QDialog>
#include <QEventLoop>
#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>
#include <QVBoxLayout>

#include <memory>
#include <utility>
#include <vector>

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

// The keys typed while a run waits for its progress window. The window
// system holds them back until then, and the windows behind a modal one would
// drop them. They are taken now and handed over once the run has ended and no
// modal window (a warning about the run) holds the keyboard: the window they
// were typed into gives them to its focus control, as if typed then. Clicks
// meanwhile are dropped, as the modal window would drop them.
class TypeAhead : public QObject
{
public:
    explicit TypeAhead(QObject *owner) : QObject(owner)
    {
        connect(&m_poll, &QTimer::timeout, this, &TypeAhead::deliverIfFree);
    }

    void collectPending()
    {
        qApp->installEventFilter(this);
        QCoreApplication::processEvents();
        qApp->removeEventFilter(this);
    }

    void deliverWhenFree()
    {
        if (m_keys.empty())
            deleteLater();
        else
            m_poll.start(10);
    }

protected:
    bool eventFilter(QObject *receiver, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
            m_keys.emplace_back(receiver, static_cast<QKeyEvent *>(event)->clone());
            return true;
        case QEvent::ShortcutOverride:
            // Taken as a key for the control, not as a shortcut: the key
            // press that follows is kept.
            event->accept();
            return true;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::ContextMenu:
            return true;
        default:
            return false;
        }
    }

private:
    void deliverIfFree()
    {
        if (QApplication::activeModalWidget())
            return;
        m_poll.stop();
        // A key may start another run, with event loops of its own.
        const auto keys = std::move(m_keys);
        deleteLater();
        for (const auto &[receiver, key] : keys) {
            if (receiver)
                QCoreApplication::sendEvent(receiver, key.get());
        }
    }

    QTimer m_poll;
    std::vector<std::pair<QPointer<QObject>, std::unique_ptr<QKeyEvent>>> m_keys;
};

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
    auto *typed = new TypeAhead(window);
    const auto deliverTyped = qScopeGuard([typed] { typed->deliverWhenFree(); });
    if (thread.isBusy())
        typed->collectPending();
    if (thread.isBusy()) {
        // The progress window takes the keyboard; it goes back where it was.
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
    // The program is ending (its event loops were told to quit): the job
    // runs on until the thread stops it.
    if (thread.isBusy())
        throw Failure(QStringLiteral("The program is ending."));
    rethrowFailure(thread);
}

} // namespace morvane
