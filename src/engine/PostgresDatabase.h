#pragma once

#include "Database.h"
#include "EngineTimeouts.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

namespace morvane {

struct PgConnCloser
{
    void operator()(PGconn *connection) const;
};
struct PgResultClearer
{
    void operator()(PGresult *result) const;
};
using PgConnection = std::unique_ptr<PGconn, PgConnCloser>;
using PgResult = std::unique_ptr<PGresult, PgResultClearer>;

class PostgresRecordset;
struct CancelLine;

// A PostgreSQL server (or another that speaks its protocol), reached through
// libpq with a URI or a key/value connection string as typed in the path box:
// libpq's environment variables, ~/.pgpass and sslmode all apply.
//
// A select runs in a read-only transaction as a plain statement, so that
// the server can plan it with parallel workers, and its rows are taken one
// at a time as they arrive: a result of millions of rows never travels
// whole. A result set closed before its end stops the statement and keeps
// its transaction, so that countRows of the same statement counts in the
// same snapshot; destroying the result set, or any other call, ends the
// transaction. Action statements run in autocommit.
//
// The network may fail at any moment, so the connection is never waited on
// without a way out: interrupt() sends the server a cancel request from a
// thread of its own, and a server that has not answered within
// cancelGiveUpMs is given up. A session that ended, by a loss or by the
// server, is opened again with the same connection string (kept in memory
// only) by the next openRecordset or execute; a statement that the loss cut
// off is never run again.
class PostgresDatabase final : public Database
{
public:
    // The rule that tells a connection string from a file path: a libpq URI,
    // or text with '=' that libpq parses as key/value options and that names
    // no existing file. The program asks PostgresConnectionString, which
    // comes here only for text that could be options.
    [[nodiscard]] static bool isConnectionString(const QString &path);

    // The connection string as typed, less its password and any other secret
    // option, for remembering it on disk.
    [[nodiscard]] static QString withoutPassword(const QString &connection);

    // Connects; Failure with libpq's message when it cannot. The attempt
    // gives up after `timeouts.connectSeconds` unless the string sets its
    // own, and at once when `cancelled` (may be null) is raised.
    PostgresDatabase(const QString &connection, const EngineTimeouts &timeouts, const std::atomic_bool *cancelled);
    ~PostgresDatabase() override;

    std::unique_ptr<Recordset> openRecordset(const QString &sql) override;
    void execute(const QString &sql) override;
    qint64 countRows(const QString &select) override;
    void interrupt() override;

private:
    friend class PostgresRecordset;

    void connect(const std::atomic_bool *cancelled);
    // Connects again when the session has ended since the last call.
    void reconnectIfEnded();
    [[nodiscard]] bool sessionGoesOn();
    static void noticeReceived(void *database, const PGresult *notice);
    // Ends the session: the next openRecordset or execute connects again.
    void dropConnection() noexcept;
    // Ends the session and fails with `why` it was lost.
    [[noreturn]] void lose(const QString &why);
    // Ends a session whose server left a cancelled statement unanswered.
    [[noreturn]] void giveUp();
    std::shared_ptr<CancelLine> startCancel(bool now) noexcept;

    // One statement of our own; Failure with the server's message. A failure
    // inside the read transaction ends the transaction before it is raised.
    PgResult run(const char *sql);
    // One statement typed by the user: the extended protocol refuses a
    // second statement hidden after the first.
    PgResult runSingle(const QByteArray &sql);
    // Sends a statement and waits for all its results.
    PgResult exchange(const QByteArray &sql, bool single);
    void flush();
    PgResult awaitResult();
    PgResult collect();
    // Waits until the connection's socket is ready for `events`, or gives
    // the connection up when a cancelled statement stays unanswered.
    void await(short events);
    [[nodiscard]] PgResult checked(PgResult result);

    quint64 beginRead(const QString &select);
    // The read's next row, or the result that ends its rows.
    PgResult nextRow();
    void stopRows();
    // Keeps the transaction of read `readId` for countRows; its rows until
    // now have been read.
    void keepForCount(quint64 readId);
    // Ends read `readId` if it is still the one open.
    void endRead(quint64 readId) noexcept;
    void endRead() noexcept;
    [[nodiscard]] bool inTransaction() const;

    [[nodiscard]] qint64 countOver(const QString &select);

    // Starts one entry point: an interrupt that arrived for an earlier one is
    // forgotten.
    void startCall();
    void forgetInterrupt();
    void throwIfInterrupted() const;

    const QString m_connectionString;
    const EngineTimeouts m_timeouts;
    PgConnection m_connection;
    bool m_endedByServer = false;

    // Wakes a wait on the socket when interrupt() is called.
    class Wakeup
    {
    public:
        Wakeup();
        ~Wakeup();
        Wakeup(const Wakeup &) = delete;
        Wakeup &operator=(const Wakeup &) = delete;
        [[nodiscard]] int fd() const { return m_fd; }
        void signal() const;
        void drain() const;

    private:
        int m_fd;
    };
    Wakeup m_wakeup;

    std::atomic_bool m_interrupted = false;
    QElapsedTimer m_interruptedFor;
    // Counts the statements sent, so that a cancel request goes out once
    // for each and is repeated only every few seconds.
    std::atomic<quint64> m_statementsSent = 0;
    std::mutex m_cancelMutex;
    std::shared_ptr<CancelLine> m_cancelLine;
    quint64 m_cancelledStatement = 0;
    QElapsedTimer m_lastCancel;

    // The read transaction: which read it is, its statement, whether rows
    // are still coming, how many were read, the count once it is known,
    // whether the transaction is kept for a count.
    quint64 m_readId = 0;
    bool m_reading = false;
    QString m_readSelect;
    bool m_streaming = false;
    qint64 m_fetched = 0;
    std::optional<qint64> m_total;
    bool m_keptForCount = false;
};

} // namespace morvane
