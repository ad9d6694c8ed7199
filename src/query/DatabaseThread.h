#pragma once

#include <QObject>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

namespace morvane {

class Database;

// The one thread that works on the open database, so that a slow statement
// never freezes the windows. It runs one job at a time and lives as long as
// the program: the Access readers die with the thread that started them.
//
// start() and cancel() are called from the thread that owns this object;
// finished() arrives there too, after the job has returned. While a job runs,
// its database belongs to this thread alone.
class DatabaseThread : public QObject
{
    Q_OBJECT

public:
    // The job sees the flag that cancel() raises; it may throw, and what it
    // throws is handed back by takeFailure().
    using Job = std::function<void(const std::atomic_bool &cancelled)>;

    explicit DatabaseThread(QObject *parent = nullptr);
    ~DatabaseThread() override;

    // Runs `job`; `interruptible` (may be null) is the database whose
    // statement cancel() ends.
    void start(Job job, Database *interruptible);
    [[nodiscard]] bool isBusy() const { return m_busy; }

    // Blocks for up to `ms` until the job has returned; when it has, its end
    // is handled here at once (finished() is emitted) and true returned.
    // Lets a caller skip its event loop for jobs that end almost at once.
    bool waitBriefly(int ms);

    // Asks the running job to stop: the flag is raised and the database's
    // running statement interrupted, again every few milliseconds until the
    // job ends, so that a statement the job starts just after an interrupt
    // is stopped too. Does nothing when no job runs.
    void cancel();

    // The exception the last job ended with, once; null when it returned.
    [[nodiscard]] std::exception_ptr takeFailure() { return std::exchange(m_failure, nullptr); }

signals:
    void finished();

private:
    void jobDone(std::exception_ptr failure);
    void interruptTarget();

    QThread m_thread;
    QTimer m_reinterrupt;
    QObject *m_worker = nullptr;
    std::atomic_bool m_cancelled = false;
    std::mutex m_targetMutex;
    std::mutex m_returnedMutex;
    std::condition_variable m_returnedChanged;
    bool m_returned = false;
    Database *m_target = nullptr;
    bool m_busy = false;
    std::exception_ptr m_failure;
};

} // namespace morvane
