// What the query window relies on from every database backend, held to the
// same checks for each: SQLite files, Access files, and any other backend
// added to backends().
#include "PostgresServer.h"
#include "TestSupport.h"

using namespace morvane;

namespace {

const EngineTimeouts shortTimeouts{200, 300};

// One backend as the checks see it: how to open it, and statements written
// in its dialect for each check.
struct Backend
{
    std::function<QString()> open;
    // More than 1000 rows.
    QString bigSelect;
    qint64 bigCount;
    // One row: a Null in column "n" and an empty text in column "e".
    QString nullAndEmpty;
    // One row whose only column is called "MixedCase".
    QString mixedCase;
    QString failing;
    QString failingDescription;
    // Runs for ever unless interrupted.
    QString endless;
    // An action statement, and a select that shows whether it ran.
    QString action;
    QString actionCheck;
    bool writable;
};

} // namespace

Q_DECLARE_METATYPE(Backend)

using test::failureOf;

class EngineContractTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::IsolatedUserFolders>();
        QVERIFY(m_dir.isValid());
    }

    void behavesAsTheWindowExpects_data()
    {
        QTest::addColumn<Backend>("backend");
        const QString sqlitePath = m_dir.filePath(QStringLiteral("contract.sqlite"));
        QTest::newRow("sqlite") << Backend{
            [sqlitePath] {
                QFile::remove(sqlitePath);
                return test::makeSqliteDatabase(sqlitePath, QStringLiteral(
                           "create table t(i integer primary key, s text);"
                           "with recursive c(i) as (select 1 union all select i + 1 from c where i < 1500)"
                           "  insert into t select i, 'row ' || i from c;"
                           "update t set s = null where i = 1; update t set s = '' where i = 2;"))
                    ? sqlitePath : QString();
            },
            QStringLiteral("select i, s from t order by i"), 1500,
            QStringLiteral("select a.s as n, b.s as e from t a, t b where a.i = 1 and b.i = 2"),
            QStringLiteral("select s as MixedCase from t where i = 3"),
            QStringLiteral("select * from no_such_table"), QStringLiteral("no such table: no_such_table"),
            QStringLiteral("with recursive c(i) as (select 1 union all select i + 1 from c) select count(*) from c"),
            QStringLiteral("delete from t where i > 1400"), QStringLiteral("select count(*) from t"), true};
        const QString jetPath = QStringLiteral(MORVANE_TEST_DATA "/jet/rows512-jet4.mdb");
        QTest::newRow("access") << Backend{
            [jetPath] { return jetPath; },
            QStringLiteral("select a.CD_AGENTE, b.RS_AGENTE from Table1 a, Table1 b limit 1536"), 1536,
            QStringLiteral("select nullif(RS_AGENTE, RS_AGENTE) as n, substr(RS_AGENTE, 1, 0) as e from Table1 limit 1"),
            QStringLiteral("select RS_AGENTE as MixedCase from Table1 limit 1"),
            QStringLiteral("select * from no_such_table"), QStringLiteral("no such table: no_such_table"),
            QStringLiteral("select count(*) from Table1 a, Table1 b, Table1 c, Table1 d"),
            QStringLiteral("delete from Table1"), QStringLiteral("select count(*) from Table1"), false};
        QTest::newRow("postgresql") << Backend{
            [this] {
                if (!m_postgres.start())
                    return QString();
                m_postgres.query(QStringLiteral(
                    "create table t(i integer primary key, s text);"
                    "insert into t select i, 'row ' || i from generate_series(1, 1500) as i;"
                    "update t set s = null where i = 1; update t set s = '' where i = 2;"));
                return m_postgres.connection();
            },
            QStringLiteral("select i, s from t order by i"), 1500,
            QStringLiteral("select a.s as n, b.s as e from t a, t b where a.i = 1 and b.i = 2"),
            QStringLiteral("select s as \"MixedCase\" from t where i = 3"),
            QStringLiteral("select * from no_such_table"), QStringLiteral("relation \"no_such_table\" does not exist"),
            QStringLiteral("select pg_sleep(3600)"),
            QStringLiteral("delete from t where i > 1400"), QStringLiteral("select count(*) from t"), true};
    }

    void behavesAsTheWindowExpects()
    {
        QFETCH(Backend, backend);
        if (QTest::currentDataTag() == QByteArrayView("postgresql") && test::PostgresServer::binaryFolder().isEmpty())
            QSKIP("No PostgreSQL server binaries found (Debian: apt-get install postgresql, or set MORVANE_PG_BIN).");
        const QString path = backend.open();
        QVERIFY2(!path.isEmpty(), qPrintable(m_postgres.error()));
        std::unique_ptr<Database> db = DatabaseEngine::openDatabase(path, shortTimeouts);

        // A result past 1000 rows reads in order, counts itself at its end,
        // and the engine counts it alike without handing the rows over.
        std::unique_ptr<Recordset> big = db->openRecordset(backend.bigSelect);
        while (!big->eof())
            big->moveNext();
        QCOMPARE(big->recordCount(), backend.bigCount);
        QVERIFY(!failureOf([&] { big->moveNext(); }).isEmpty());
        big->close();
        QCOMPARE(db->countRows(backend.bigSelect), backend.bigCount);

        // Null is not the empty text, and fields are found in any letter case.
        std::unique_ptr<Recordset> row = db->openRecordset(backend.nullAndEmpty);
        QVERIFY(row->value(u"N").isNull());
        QCOMPARE(row->value(u"e"), FieldValue(QString()));
        row = db->openRecordset(backend.mixedCase);
        QCOMPARE(row->fieldName(0), QStringLiteral("MixedCase"));
        QCOMPARE(row->value(u"mIXEDcASE"), row->value(0));
        QVERIFY(failureOf([&] { (void)row->value(u"absent"); }).contains(QStringLiteral("absent")));
        row->close();

        // A failing statement says why, in the engine's words.
        QVERIFY(failureOf([&] { (void)db->openRecordset(backend.failing); }).contains(backend.failingDescription));
        QVERIFY(failureOf([&] { (void)db->countRows(backend.failing); }).contains(backend.failingDescription));

        // Execute runs where the backend writes, and is refused where it only reads.
        const FieldValue before = db->openRecordset(backend.actionCheck)->value(0);
        const QString executed = failureOf([&] { db->execute(backend.action); });
        const FieldValue after = db->openRecordset(backend.actionCheck)->value(0);
        if (backend.writable) {
            QCOMPARE(executed, QString());
            QVERIFY(after != before);
        } else {
            QVERIFY(executed.contains(QStringLiteral("read-only")));
            QCOMPARE(after, before);
        }

        // Cancel ends a statement that would never end, on the thread that
        // runs it, and the database serves the next statement.
        DatabaseThread thread;
        QSignalSpy finished(&thread, &DatabaseThread::finished);
        std::atomic_bool started = false;
        thread.start([&](const std::atomic_bool &) {
            started = true;
            (void)db->countRows(backend.endless);
        }, db.get());
        QTRY_VERIFY(started);
        QElapsedTimer cancelled;
        cancelled.start();
        thread.cancel();
        QVERIFY(finished.wait(5000));
        QVERIFY2(cancelled.elapsed() < 1000, qPrintable(QString::number(cancelled.elapsed())));
        const std::exception_ptr failure = thread.takeFailure();
        QVERIFY(failure);
        QCOMPARE(db->openRecordset(backend.actionCheck)->value(0), after);
    }

private:
    std::unique_ptr<test::IsolatedUserFolders> m_folders;
    QTemporaryDir m_dir;
    // A throwaway server of this test's own, started for its row.
    test::PostgresServer m_postgres{QStringLiteral(MORVANE_BINARY_DIR "/pg-template")};
};

QTEST_MAIN(EngineContractTest)
#include "tst_engine_contract.moc"
