#include "SqliteDatabase.h"

#include "Failure.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

namespace morvane {

namespace {

constexpr char signature[] = "SQLite format 3"; // 15 letters and the NUL: 16 bytes

// How a file is opened: as SQLite decides (read-write where the file permits),
// or read-only as a file nothing changes, with no locks and no log index.
enum class OpenMode { Normal, Immutable };

SqliteHandle openHandle(const QString &path, OpenMode mode)
{
    // An absolute path is never one of SQLite's special names (":memory:",
    // the empty name, "file:" URIs), so the file opened is the file named.
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QByteArray name = absolute.toUtf8();
    int flags = SQLITE_OPEN_READWRITE;
    if (mode == OpenMode::Immutable) {
        // In a URI every character SQLite gives a meaning ('?', '#', '%') is
        // escaped, so the name still names exactly this file.
        name = "file:" + QUrl::toPercentEncoding(absolute, "/") + "?immutable=1";
        flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
    }
    sqlite3 *raw = nullptr;
    const int rc = sqlite3_open_v2(name.constData(), &raw, flags, nullptr);
    SqliteHandle db(raw);
    if (rc != SQLITE_OK) {
        const QString error = db ? QString::fromUtf8(sqlite3_errmsg(db.get())) : QString::fromUtf8(sqlite3_errstr(rc));
        throw Failure(error);
    }
    return db;
}

// The settings SQLite recommends for files from untrusted sources. Debian's
// build leaves them at their permissive defaults, so they are set explicitly.
void harden(SqliteConnection &connection, int busyTimeoutMs, const std::atomic_bool *cancelled)
{
    sqlite3 *db = connection.handle();
    if (sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr) != SQLITE_OK
        || sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr) != SQLITE_OK
        || SqliteGuard::disableUnsafeFeatures(db) != SQLITE_OK)
        connection.fail();
    connection.waitForLocks(busyTimeoutMs, cancelled);
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

// The header's read and write versions are 2 for a file in write-ahead-log
// mode.
bool isInWalMode(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray header = file.read(20);
    return header.size() == 20 && header[18] == 2 && header[19] == 2;
}

// Reading a file in write-ahead-log mode needs the log's shared index (the
// "-shm" file) beside it. Where SQLite can neither create nor open it, as in
// a read-only folder, every read fails: with "readonly" where the file itself
// is read-only, with "unable to open" where it is not.
bool lacksWalIndex(const SqliteConnection &connection, const QString &path)
{
    const int code = sqlite3_errcode(connection.handle());
    return (code == SQLITE_CANTOPEN || code == SQLITE_READONLY) && isInWalMode(path);
}

SqliteConnection openConnection(const QString &path, int busyTimeoutMs, const std::atomic_bool *cancelled)
{
    SqliteConnection connection(openHandle(path, OpenMode::Normal));
    harden(connection, busyTimeoutMs, cancelled);
    try {
        verifyReadable(connection);
        return connection;
    } catch (const Failure &) {
        if (!lacksWalIndex(connection, path))
            throw;
    }
    // Without a log beside it the file holds the whole database, and nobody
    // can start one where the index cannot be made either: the file can be
    // read as it is, without locks. A log with changes in it needs the index.
    if (QFileInfo(path + QStringLiteral("-wal")).size() > 0) {
        throw Failure(QStringLiteral("The file is in write-ahead-log mode and its folder is read-only, so the "
                                     "changes in its log (the -wal file beside it) cannot be read. Copy both "
                                     "files to a writable folder to read them."));
    }
    SqliteConnection immutable(openHandle(path, OpenMode::Immutable));
    harden(immutable, busyTimeoutMs, cancelled);
    verifyReadable(immutable);
    return immutable;
}

} // namespace

bool SqliteDatabase::hasSignature(QByteArrayView header)
{
    return header.size() >= qsizetype(sizeof signature)
        && header.first(sizeof signature) == QByteArrayView(signature, sizeof signature);
}

SqliteDatabase::SqliteDatabase(const QString &path, int busyTimeoutMs, const std::atomic_bool *cancelled)
    : m_connection(openConnection(path, busyTimeoutMs, cancelled))
{
    makeChangesDurable(m_connection);
    m_connection.guardTypedStatements();
    // From now on interrupt() ends a wait; the flag belongs to the open.
    m_connection.waitForLocks(busyTimeoutMs);
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
