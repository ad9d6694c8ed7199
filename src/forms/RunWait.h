#pragma once

#include "DatabaseThread.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

class QObject;
class QWidget;

namespace morvane {

// Runs a job on the database thread while a window waits for it, keeping the
// windows painted. The user's input waits until the job ends; a job that
// takes longer than the delay shows a modal progress window whose Cancel (or
// Esc) interrupts the engine. Keys typed before that window shows reach the
// control they were typed into once the job has ended. Returns what the job
// returned when it has ended, and rethrows what it threw.
//
// The job hands its result back rather than writing into the caller's
// frame: should the program end while the job runs, the wait ends early
// (Failure), and the job finishes on the thread with nothing of the caller's
// left to write into.
class RunWait
{
public:
    template<typename Job>
    static auto run(QWidget *window, DatabaseThread &thread, Database *interruptible, Job job, int progressDelayMs)
        -> std::invoke_result_t<Job &, const std::atomic_bool &>
    {
        using Result = std::invoke_result_t<Job &, const std::atomic_bool &>;
        if constexpr (std::is_void_v<Result>) {
            wait(window, thread, interruptible, std::move(job), progressDelayMs);
        } else {
            auto result = std::make_shared<std::optional<Result>>();
            wait(window, thread, interruptible,
                 [result, job = std::move(job)](const std::atomic_bool &cancelled) mutable { result->emplace(job(cancelled)); },
                 progressDelayMs);
            return std::move(**result);
        }
    }

    // Calls `call` on `window`'s thread and returns once it has run: how a
    // job on the database thread asks the user while the window waits.
    static void onWindowThread(QObject *window, const std::function<void()> &call);

private:
    static void wait(QWidget *window, DatabaseThread &thread, Database *interruptible, DatabaseThread::Job job,
                     int progressDelayMs);
};

} // namespace morvane
