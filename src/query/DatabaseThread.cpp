#include "DatabaseThread.h"

#include "Database.h"

#include <QCoreApplication>

namespace morvane {

namespace {

constexpr int reinterruptMs = 20;

} // namespace

DatabaseThread::DatabaseThread(QObject *parent) : QObject(parent)
{
    m_reinterrupt.setInterval(reinterruptMs);
    connect(&m_reinterrupt, &QTimer::timeout, this, &DatabaseThread::interruptTarget);
    m_thread.setObjectName(QStringLiteral("database"));
    // Owned by the thread's event loop from here on: deleted when it ends.
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

DatabaseThread::~DatabaseThread()
{
    cancel();
    m_thread.quit();
    m_thread.wait();
}

void DatabaseThread::start(Job job, Database *interruptible)
{
    Q_ASSERT(!m_busy);
    m_busy = true;
    m_cancelled = false;
    {
        const std::lock_guard lock(m_returnedMutex);
        m_returned = false;
    }
    {
        const std::lock_guard lock(m_targetMutex);
        m_target = interruptible;
    }
    QMetaObject::invokeMethod(m_worker, [this, job = std::move(job)] {
        std::exception_ptr failure;
        try {
            job(m_cancelled);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            const std::lock_guard lock(m_targetMutex);
            m_target = nullptr;
        }
        QMetaObject::invokeMethod(this, [this, failure] { jobDone(failure); }, Qt::QueuedConnection);
        {
            const std::lock_guard lock(m_returnedMutex);
            m_returned = true;
        }
        m_returnedChanged.notify_all();
    }, Qt::QueuedConnection);
}

bool DatabaseThread::waitBriefly(int ms)
{
    if (!m_busy)
        return true;
    {
        std::unique_lock lock(m_returnedMutex);
        if (!m_returnedChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_returned; }))
            return false;
    }
    // The job's end was posted before it said it had returned.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    return !m_busy;
}

void DatabaseThread::cancel()
{
    if (!m_busy)
        return;
    m_cancelled = true;
    interruptTarget();
    m_reinterrupt.start();
}

void DatabaseThread::interruptTarget()
{
    const std::lock_guard lock(m_targetMutex);
    if (m_target)
        m_target->interrupt();
}

void DatabaseThread::jobDone(std::exception_ptr failure)
{
    m_reinterrupt.stop();
    m_busy = false;
    m_failure = std::move(failure);
    emit finished();
}

} // namespace morvane
