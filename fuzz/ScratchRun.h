#pragma once

#include "Database.h"
#include "Failure.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace morvane::fuzz {

// Interrupts the database if a run takes longer than its bound, so a
// statement that is merely slow (an endless recursive select) ends as a
// failure instead of being reported as a hang.
class Watchdog
{
public:
    Watchdog(Database &database, std::chrono::milliseconds bound)
        : m_thread([this, &database, bound] {
              std::unique_lock lock(m_mutex);
              if (!m_done.wait_for(lock, bound, [this] { return m_finished; }))
                  database.interrupt();
          })
    {
    }

    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

// Reads at most `rows` rows of `sql` and every value in them; a failure of
// the statement is an ordinary outcome.
inline void readSome(Database &database, const QString &sql, int rows)
{
    try {
        auto result = database.openRecordset(sql);
        for (int i = 0; i < rows && !result->eof(); ++i) {
            for (int field = 0; field < result->fieldCount(); ++field) {
                (void)result->fieldName(field);
                (void)result->value(field);
            }
            result->moveNext();
        }
        result->close();
    } catch (const Failure &) {
    }
}

} // namespace morvane::fuzz
