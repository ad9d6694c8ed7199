#include "SqliteDatabase.h"

#include "Failure.h"

#include <QFileInfo>

#include <sqlite3.h>

namespace morvane {

namespace {

constexpr char signature[] = "SQLite format 3"; // 15 letters and the NUL: 16 bytes

SqliteHandle openHandle(const QString &path)
{
    // An absolute path is never one of SQLite's special names (":memory:",
    // the empty name, "file:" URIs), so the file opened is the file named.
    const QByteArray name = QFileInfo(path).absoluteFilePath().toUtf8();
    sqlite3 *raw = nullptr;
    const int rc = sqlite3_open_v2(name.constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    SqliteHandle db(raw);
    if (rc != SQLITE_OK) {
        const QString error = db ? QString::fromUtf8(sqlite3_errmsg(db.get())) : QString::fromUtf8(sqlite3_errstr(rc));
        throw Failure(error);
    }
    return db;
}

// The settings SQLite recommends for files from untrusted sources. Debian's
// build leaves them at their permissive defaults, so they are set explicitly.
void harden(SqliteConnection &connection, int busyTimeoutMs)
{
    sqlite3 *db = connection.handle();
    if (sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr) != SQLITE_OK
        || sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr) != SQLITE_OK
        || SqliteGuard::disableUnsafeFeatures(db) != SQLITE_OK)
        connection.fail();
    sqlite3_busy_timeout(db, busyTimeoutMs);
    connection.run("PRAGMA cell_size_check = ON; PRAGMA mmap_size = 0;");
}

// Execute's change must be on disk when it returns. EXTRA also syncs the
// directory after a rollback journal is deleted; WAL needs only FULL.
void makeChangesDurable(SqliteConnection &connection)
{
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(connection.handle(), "PRAGMA journal_mode", -1, &raw, nullptr) != SQLITE_OK)
        connection.fail();
    SqliteStatement statement(raw);
    if (sqlite3_step(statement.get()) != SQLITE_ROW)
        connection.fail();
    const auto mode = reinterpret_cast<const char *>(sqlite3_column_text(statement.get(), 0));
    const bool wal = mode && qstrcmp(mode, "wal") == 0;
    statement.reset();
    connection.run(wal ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = EXTRA");
}

// SQLite reads a file lazily; reading its schema now makes a damaged or
// foreign file fail at Open rather than at the first query.
void verifyReadable(SqliteConnection &connection)
{
    connection.run("SELECT count(*) FROM sqlite_schema");
}

} // namespace

bool SqliteDatabase::hasSignature(QByteArrayView header)
{
    return header.size() >= qsizetype(sizeof signature)
        && header.first(sizeof signature) == QByteArrayView(signature, sizeof signature);
}

SqliteDatabase::SqliteDatabase(const QString &path, int busyTimeoutMs) : m_connection(openHandle(path))
{
    harden(m_connection, busyTimeoutMs);
    verifyReadable(m_connection);
    makeChangesDurable(m_connection);
    m_connection.guardTypedStatements();
}

std::unique_ptr<Recordset> SqliteDatabase::openRecordset(const QString &sql)
{
    return m_connection.openRecordset(sql);
}

void SqliteDatabase::execute(const QString &sql)
{
    m_connection.execute(sql);
    // The sync setting that makes a change durable depends on the journal.
    if (m_connection.takeJournalModeChange())
        makeChangesDurable(m_connection);
}

qint64 SqliteDatabase::countRows(const QString &select)
{
    return m_connection.countRows(select);
}

void SqliteDatabase::interrupt()
{
    m_connection.interrupt();
}

} // namespace morvane
