// Get over any statements, against a scratch database: the file's bytes never
// change, no transaction stays open and the session's protections hold.
#include "DatabaseEngine.h"
#include "FuzzText.h"
#include "ScratchRun.h"
#include "mdlMain.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

using namespace morvane;

namespace {

QByteArray checksum(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

QString makeScratch(const QString &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db,
                 "create table t(a integer primary key, b text, c blob);"
                 "insert into t values (1, 'one', x'01'), (2, 'two', null), (3, null, x'');"
                 "create table u(x, y); insert into u values (1, 2), (3, 4);"
                 "create index u_x on u(x);"
                 "create view v as select a, b from t;"
                 "create trigger tr after insert on u begin insert into t(b) values (new.x); end;"
                 "create virtual table f using fts4(body); insert into f values ('hello world');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return path;
}

// Whether another program could take the write lock now: not when a
// statement left a transaction open that holds a lock.
bool writableByOthers(const QString &path)
{
    sqlite3 *db = nullptr;
    const bool ok = sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK
        && sqlite3_exec(db, "begin exclusive", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_exec(db, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir folder;
    static const QString path = makeScratch(folder.filePath(QStringLiteral("scratch.sqlite")));
    static const QByteArray before = checksum(path);
    static const bool limited = sqlite3_hard_heap_limit64(256 << 20) >= 0;
    (void)limited;

    // Statements are separated by NUL bytes, so one input can try a
    // sequence: a begin, then a write, then a pragma.
    const QList<QByteArray> statements = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\0');
    {
        std::unique_ptr<Database> database = DatabaseEngine::openDatabase(path, EngineTimeouts{0, 100});
        {
            fuzz::Watchdog watchdog(*database, std::chrono::milliseconds(100));
            for (const QByteArray &statement : statements.first(qMin<qsizetype>(statements.size(), 4))) {
                const QString sql = QString::fromUtf8(statement);
                fuzz::readSome(*database, sql, 50);
                try {
                    (void)database->countRows(sql);
                } catch (const Failure &) {
                }
            }
        }
        auto settings = database->openRecordset(QStringLiteral(
            "select s.synchronous, q.query_only, c.cell_size_check, l.locking_mode, ts.trusted_schema, "
            "(select count(*) from pragma_database_list) "
            "from pragma_synchronous s, pragma_query_only q, pragma_cell_size_check c, pragma_locking_mode l, "
            "pragma_trusted_schema ts"));
        QStringList values;
        for (int i = 0; i < settings->fieldCount(); ++i)
            values << FieldText(settings->value(i));
        settings->close();
        if (values.join(u',') != QStringLiteral("3,0,1,normal,0,1"))
            fuzz::fail(qPrintable(QStringLiteral("a protection changed: ") + values.join(u',')));
        if (!writableByOthers(path))
            fuzz::fail("the file was left locked");
    }
    if (checksum(path) != before)
        fuzz::fail("Get changed the file");
    return 0;
}
