#pragma once

#include "Database.h"
#include "SqliteGuard.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

namespace morvane {

struct SqliteCloser
{
    void operator()(sqlite3 *db) const;
};
struct SqliteFinalizer
{
    void operator()(sqlite3_stmt *statement) const;
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

// One open SQLite connection and the statements run on it. Shared by every
// backend that answers SQL through SQLite: database files, and the in-memory
// connection over an Access file's tables.
class SqliteConnection
{
public:
    explicit SqliteConnection(SqliteHandle db);

    [[nodiscard]] sqlite3 *handle() const { return m_db.get(); }

    // Only statements that read: a select typed into the select box must not
    // change the database behind the user's back.
    [[nodiscard]] std::unique_ptr<Recordset> openRecordset(const QString &sql);
    void execute(const QString &sql);
    // Counts the rows of a select statement by running a count over it.
    [[nodiscard]] qint64 countRows(const QString &select);
    // Stops the statement running on the connection, or its wait for a
    // lock; any thread.
    void interrupt();
    // Another program's lock on the file is waited for up to `timeoutMs`,
    // and no longer once interrupt() is called or `cancelled` (may be null)
    // is raised.
    void waitForLocks(int timeoutMs, const std::atomic_bool *cancelled = nullptr);

    // Runs a statement of our own (settings, set-up) and discards any rows.
    void run(const char *sql);

    // From now on typed statements are held to the rules of Get and Execute
    // (SqliteGuard). A connection that installs an authorizer of its own
    // does without.
    void guardTypedStatements();
    // True once an Execute has changed the journal mode.
    [[nodiscard]] bool takeJournalModeChange();

    // The connection's current error text.
    [[nodiscard]] QString errorText() const;
    [[noreturn]] void fail() const;

private:
    // Prepares exactly one statement; a second one after it is refused rather
    // than silently dropped.
    [[nodiscard]] SqliteStatement prepareSingle(const QString &sql);
    [[nodiscard]] SqliteStatement prepareReading(const QString &sql);
    void useRule(SqliteGuard::Rule rule);
    // Execute must never leave a transaction open: a change that stays in one
    // looks done, and is lost when the program ends.
    void endOpenTransaction();
    // A typed statement starts: an interrupt meant for the one before no
    // longer ends its waits.
    void startStatement();

    struct LockWait
    {
        int timeoutMs = 0;
        const std::atomic_bool *cancelled = nullptr;
        std::atomic_bool interrupted = false;
        std::chrono::steady_clock::time_point since;
    };
    static int onBusy(void *wait, int attempts);

    SqliteHandle m_db;
    std::unique_ptr<SqliteGuard> m_guard;
    // Apart from the connection, so that SQLite's pointer to it survives a
    // move of the connection.
    std::unique_ptr<LockWait> m_lockWait;
};

} // namespace morvane
