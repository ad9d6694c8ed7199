// The SQLite backend: what opens, how safely, and the result-set contract.
#include "TestSupport.h"
#include "mdlMain.h"

#include <cerrno>
#include <cstring>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace morvane;

namespace {

// A lock held by another connection fails the statement this soon.
const EngineTimeouts shortTimeouts{200, 300};

QString firstText(Database &db, const QString &sql)
{
    auto result = db.openRecordset(sql);
    return result->eof() ? QStringLiteral("<no rows>") : FieldText(result->value(0));
}

// Makes a folder read-only for this thread until destroyed. File modes do not
// bind the superuser, who gets a read-only mount of the folder instead, in a
// mount namespace of the thread's own. Empty `why` when it worked.
class ReadOnlyFolder
{
public:
    explicit ReadOnlyFolder(const QString &path) : m_path(QFile::encodeName(path))
    {
        if (::geteuid() != 0) {
            if (!QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner))
                why = QStringLiteral("cannot change the folder's permissions");
            return;
        }
        m_mounted = ::unshare(CLONE_NEWNS) == 0
            && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
            && ::mount(m_path.constData(), m_path.constData(), nullptr, MS_BIND, nullptr) == 0;
        if (m_mounted && ::mount(nullptr, m_path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0)
            return;
        why = QStringLiteral("the superuser cannot mount the folder read-only here: ")
            + QString::fromLocal8Bit(std::strerror(errno));
    }

    ~ReadOnlyFolder()
    {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
        else
            QFile::setPermissions(QFile::decodeName(m_path), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

    QString why;

private:
    QByteArray m_path;
    bool m_mounted = false;
};

// A database in write-ahead-log mode whose second row, 8, is only in the
// log: the last connection leaves without folding the log into the file.
// The log's index goes, as after a crash.
bool makeWalDatabaseWithLog(const QString &path)
{
    sqlite3 *db = nullptr;
    const QByteArray name = QFile::encodeName(path);
    const bool ok = sqlite3_open(name.constData(), &db) == SQLITE_OK
        && sqlite3_exec(db, "pragma journal_mode = wal; create table t(a); insert into t values (7);"
                            "pragma wal_checkpoint; pragma wal_autocheckpoint = 0; insert into t values (8);",
                        nullptr, nullptr, nullptr) == SQLITE_OK
        && sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    QFile::remove(path + QStringLiteral("-shm"));
    return ok && QFileInfo(path + QStringLiteral("-wal")).size() > 0;
}

} // namespace

using test::failureOf;

class SqliteTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("types.sqlite"));
        QVERIFY(test::makeSqliteDatabase(m_path, QStringLiteral(
            "create table items(id integer primary key, name text, price real, data blob, note text);"
            "insert into items values (1, 'Þórunn', 12.5, x'00ff10', null);"
            "insert into items values (2, '', 0.1, null, '  padded  ');"
            "insert into items values (3, 'c', -3, x'', 'x');")));
    }

    void readsValuesOfEveryKind()
    {
        auto db = DatabaseEngine::openDatabase(m_path, shortTimeouts);
        auto result = db->openRecordset(QStringLiteral("select id, name, price, data, note from items order by id"));
        QCOMPARE(result->fieldCount(), 5);
        QCOMPARE(result->fieldName(1), QStringLiteral("name"));
        QVERIFY(!result->eof());
        QCOMPARE(result->value(u"ID"), FieldValue(qint64(1)));
        QCOMPARE(result->value(u"Name"), FieldValue(QStringLiteral("Þórunn")));
        QCOMPARE(result->value(u"price"), FieldValue(12.5));
        QCOMPARE(result->value(u"data"), FieldValue(QByteArray("\x00\xff\x10", 3)));
        QVERIFY(result->value(u"note").isNull());
        result->moveNext();
        QCOMPARE(result->value(u"name"), FieldValue(QString()));
        QVERIFY(result->value(u"data").isNull());
        QCOMPARE(result->value(u"note"), FieldValue(QStringLiteral("  padded  ")));
        result->moveNext();
        QCOMPARE(result->recordCount(), qint64(2));
        result->moveNext();
        QVERIFY(result->eof());
        QCOMPARE(result->recordCount(), qint64(3));
        QVERIFY(!failureOf([&] { (void)result->value(0); }).isEmpty());

        // The same name twice: the first wins, and both are counted.
        auto twice = db->openRecordset(QStringLiteral("select a.id, b.id from items a join items b on b.id = a.id + 1"));
        QCOMPARE(twice->fieldsNamed(u"ID"), 2);
        QCOMPARE(twice->fieldIndex(u"id"), 0);
    }

    // Get refusing action statements and Execute an empty text are checked
    // where the user meets them (tst_guard, tst_query).
    void refusesWhatItShouldNotRun()
    {
        auto db = DatabaseEngine::openDatabase(m_path, shortTimeouts);
        // Execute runs one action, and a select box one select.
        QVERIFY(!failureOf([&] { db->execute(QStringLiteral("select * from items")); }).isEmpty());
        QVERIFY(!failureOf([&] { db->execute(QStringLiteral("delete from items; delete from items")); }).isEmpty());
        QVERIFY(!failureOf([&] { (void)db->openRecordset(QStringLiteral("select 1; select 2")); }).isEmpty());
        QCOMPARE(firstText(*db, QStringLiteral("select count(*) from items")), QStringLiteral("3"));
        // A trailing semicolon and comment are not a second statement.
        QVERIFY(failureOf([&] { db->execute(QStringLiteral("update items set note = 'n' where id = 3; /* done */")); }).isEmpty());
        QCOMPARE(test::querySqliteText(m_path, QStringLiteral("select note from items where id = 3")), QStringLiteral("n"));
    }

    // The settings no statement may change: tst_guard.
    void opensHardenedAndDurable()
    {
        auto db = DatabaseEngine::openDatabase(m_path, shortTimeouts);
        QVERIFY(!failureOf([&] { (void)firstText(*db, QStringLiteral("select load_extension('/lib/x86_64-linux-gnu/libm.so.6')")); }).isEmpty());
        // Defensive mode keeps the schema from being edited by hand.
        QVERIFY(!failureOf([&] { db->execute(QStringLiteral("update sqlite_schema set sql = 'x' where name = 'items'")); }).isEmpty());

        const QString wal = m_dir.filePath(QStringLiteral("wal.sqlite"));
        QVERIFY(test::makeSqliteDatabase(wal, QStringLiteral("pragma journal_mode = wal; create table t(a);")));
        auto walDb = DatabaseEngine::openDatabase(wal, shortTimeouts);
        QCOMPARE(firstText(*walDb, QStringLiteral("select * from pragma_journal_mode")), QStringLiteral("wal"));
        QCOMPARE(firstText(*walDb, QStringLiteral("select * from pragma_synchronous")), QStringLiteral("2"));
        walDb->execute(QStringLiteral("insert into t values (42)"));
        // Another connection sees the change as soon as Execute returns.
        QCOMPARE(test::querySqliteText(wal, QStringLiteral("select a from t")), QStringLiteral("42"));
    }

    void aLockedFileFailsInsteadOfHanging()
    {
        const QString path = m_dir.filePath(QStringLiteral("locked.sqlite"));
        QVERIFY(test::makeSqliteDatabase(path, QStringLiteral("create table t(a);")));
        auto locked = DatabaseEngine::openDatabase(path, shortTimeouts);
        sqlite3 *holder = nullptr;
        QCOMPARE(sqlite3_open(path.toUtf8().constData(), &holder), SQLITE_OK);
        QCOMPARE(sqlite3_exec(holder, "begin exclusive", nullptr, nullptr, nullptr), SQLITE_OK);
        QCOMPARE(failureOf([&] { (void)DatabaseEngine::openDatabase(path, shortTimeouts); }), QStringLiteral("database is locked"));
        QCOMPARE(failureOf([&] { locked->execute(QStringLiteral("insert into t values (1)")); }), QStringLiteral("database is locked"));
        sqlite3_exec(holder, "rollback", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
        locked->execute(QStringLiteral("insert into t values (1)"));
        QCOMPARE(test::querySqliteText(path, QStringLiteral("select count(*) from t")), QStringLiteral("1"));
    }

    void readOnlyFileOpensForReading()
    {
        if (::geteuid() == 0)
            QSKIP("file permissions do not bind the superuser");
        const QString path = m_dir.filePath(QStringLiteral("readonly.sqlite"));
        QVERIFY(test::makeSqliteDatabase(path, QStringLiteral("create table t(a); insert into t values (7);")));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner));
        auto db = DatabaseEngine::openDatabase(path, shortTimeouts);
        QCOMPARE(firstText(*db, QStringLiteral("select a from t")), QStringLiteral("7"));
        QVERIFY(failureOf([&] { db->execute(QStringLiteral("delete from t")); }).contains(QStringLiteral("readonly")));
    }

    // In a read-only folder SQLite cannot make the log's index: without a log
    // the file opens read-only; changes in a log cannot be read, and say why.
    void walFileInAReadOnlyFolder_data()
    {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("name");
        QTest::newRow("no log") << "none" << "wal.sqlite";
        QTest::newRow("no log, a name with URI characters") << "none" << "wal ?x=1#%41 ð.sqlite";
        QTest::newRow("an empty log") << "empty" << "wal.sqlite";
        QTest::newRow("a log with changes") << "changes" << "wal.sqlite";
    }

    void walFileInAReadOnlyFolder()
    {
        QFETCH(QString, log);
        QFETCH(QString, name);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString path = folder.filePath(name);
        QVERIFY(makeWalDatabaseWithLog(path));
        if (log == QStringLiteral("none"))
            QVERIFY(QFile::remove(path + QStringLiteral("-wal")));
        else if (log == QStringLiteral("empty"))
            QVERIFY(QFile(path + QStringLiteral("-wal")).resize(0));
        const ReadOnlyFolder readOnly(folder.path());
        if (!readOnly.why.isEmpty())
            QSKIP(qPrintable(readOnly.why));
        QVERIFY(!QFile(folder.filePath(QStringLiteral("probe"))).open(QIODevice::WriteOnly));

        if (log == QStringLiteral("changes")) {
            const QString description = failureOf([&] { (void)DatabaseEngine::openDatabase(path, shortTimeouts); });
            QVERIFY2(description.contains(QStringLiteral("write-ahead-log mode")), qPrintable(description));
            QVERIFY2(description.contains(QStringLiteral("writable folder")), qPrintable(description));
            return;
        }
        auto db = DatabaseEngine::openDatabase(path, shortTimeouts);
        QCOMPARE(firstText(*db, QStringLiteral("select group_concat(a) from t")), QStringLiteral("7"));
        QVERIFY(failureOf([&] { db->execute(QStringLiteral("insert into t values (9)")); }).contains(QStringLiteral("readonly")));
    }

    void damagedFileFailsAtOpen()
    {
        const QString path = m_dir.filePath(QStringLiteral("damaged.sqlite"));
        test::writeFile(path, QByteArray("SQLite format 3\0", 16) + QByteArray(4000, '\x5a'));
        QVERIFY(!failureOf([&] { (void)DatabaseEngine::openDatabase(path, shortTimeouts); }).isEmpty());
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
};

QTEST_MAIN(SqliteTest)
#include "tst_sqlite.moc"
