#pragma once

#include "Database.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;
typedef struct pg_cancel PGcancel;

namespace morvane {

struct PgConnCloser
{
    void operator()(PGconn *connection) const;
};
struct PgResultClearer
{
    void operator()(PGresult *result) const;
};
struct PgCancelFreer
{
    void operator()(PGcancel *cancel) const;
};
using PgConnection = std::unique_ptr<PGconn, PgConnCloser>;
using PgResult = std::unique_ptr<PGresult, PgResultClearer>;
using PgCancel = std::unique_ptr<PGcancel, PgCancelFreer>;

class PostgresRecordset;

// A PostgreSQL server (or another that speaks its protocol), reached through
// libpq with a URI or a key/value connection string as typed in the path box:
// libpq's environment variables, ~/.pgpass and sslmode all apply.
//
// A select runs in a read-only transaction through a server-side cursor that
// is fetched in batches, so a result of millions of rows never travels whole.
// A result set closed before its end keeps its cursor and transaction, so
// that countRows of the same statement counts in the same snapshot, by moving
// the cursor to its end where that saves running the statement again;
// destroying the result set, or any other call, ends the transaction. Action statements run
// in autocommit.
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
    // gives up after `connectTimeoutSeconds` unless the string sets its own.
    PostgresDatabase(const QString &connection, int connectTimeoutSeconds);
    ~PostgresDatabase() override;

    std::unique_ptr<Recordset> openRecordset(const QString &sql) override;
    void execute(const QString &sql) override;
    qint64 countRows(const QString &select) override;
    void interrupt() override;

private:
    friend class PostgresRecordset;

    // One statement of our own; Failure with the server's message. A failure
    // inside the read transaction ends the transaction before it is raised.
    PgResult run(const char *sql);
    // One statement typed by the user: the extended protocol refuses a
    // second statement hidden after the first.
    PgResult runSingle(const QByteArray &sql);
    [[nodiscard]] PgResult checked(PgResult result);

    quint64 beginRead(const QString &select);
    // Fetches the next batch of the read's cursor.
    PgResult fetch(int rows);
    // Keeps the cursor of read `readId` for countRows; its rows until now
    // have been fetched.
    void keepCursor(quint64 readId);
    // Ends read `readId` if it is still the one open.
    void endRead(quint64 readId) noexcept;
    void endRead() noexcept;
    [[nodiscard]] bool inTransaction() const;

    [[nodiscard]] qint64 countOver(const QString &select);
    [[nodiscard]] bool streamsItsRows(const QString &select);

    // Starts one entry point: an interrupt that arrived for an earlier one is
    // forgotten.
    void startCall();
    void throwIfInterrupted() const;

    PgConnection m_connection;
    PgCancel m_cancel;
    std::atomic_bool m_interrupted = false;

    // The read transaction: which read it is, the statement its cursor runs,
    // how many rows were fetched, whether the cursor is kept for a count.
    quint64 m_readId = 0;
    bool m_reading = false;
    QString m_readSelect;
    qint64 m_fetched = 0;
    bool m_cursorKept = false;
};

} // namespace morvane
