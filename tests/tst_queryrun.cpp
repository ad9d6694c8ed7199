// One Get without any window: what QueryRun hands to the grid.
#include "QueryRun.h"
#include "TestSupport.h"

using namespace morvane;

class QueryRunTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QString path = m_dir.filePath(QStringLiteral("run.sqlite"));
        QVERIFY(test::makeSqliteDatabase(path, QStringLiteral(
            "create table n(i integer primary key, label text);"
            "with recursive c(i) as (select 1 union all select i + 1 from c where i < 1200)"
            "  insert into n select i, '  row ' || i || '  ' from c;"
            "update n set label = null where i = 2;")));
        m_db = DatabaseEngine::openDatabase(path);
    }

    void columnsFollowTheOutlineOrTheResult_data()
    {
        QTest::addColumn<QString>("select");
        QTest::addColumn<QStringList>("outline");
        QTest::addColumn<QStringList>("headers");
        QTest::addColumn<QStringList>("firstRow");
        QTest::newRow("outline names, in the outline's order") << "select label, i from n" << QStringList{"label", "i"} << QStringList{"label", "i"} << QStringList{"row 1", "1"};
        QTest::newRow("outline names in other letter case") << "select LABEL from n" << QStringList{"label"} << QStringList{"label"} << QStringList{"row 1"};
        QTest::newRow("star: the result's own fields") << "select * from n" << QStringList{"*"} << QStringList{"i", "label"} << QStringList{"1", "row 1"};
        QTest::newRow("one name for two fields") << "select i, i from n" << QStringList{"i", "i"} << QStringList{"i", "i"} << QStringList{"1", "1"};
        QTest::newRow("a field the outline leaves unnamed") << "select count(*) from n" << QStringList{""} << QStringList{"count(*)"} << QStringList{"1200"};
        QTest::newRow("no outline") << "with x as (select i from n) select i from x" << QStringList{} << QStringList{"i"} << QStringList{"1"};
    }

    void columnsFollowTheOutlineOrTheResult()
    {
        QFETCH(QString, select);
        QFETCH(QStringList, outline);
        QFETCH(QStringList, headers);
        QFETCH(QStringList, firstRow);
        const QueryResult result = QueryRun(*m_db, m_notCancelled).run(select, outline);
        QVERIFY(!result.failure);
        QCOMPARE(result.headers, headers);
        QStringList row;
        for (int column = 0; column < result.columnCount(); ++column)
            row.append(result.text(0, column));
        QCOMPARE(row, firstRow);
    }

    void oneBlockOfAThousandRowsAndItsCount()
    {
        const QueryResult result = QueryRun(*m_db, m_notCancelled).run(QStringLiteral("select label from n; -- all"), {});
        QCOMPARE(result.rowCount, QueryRun::rowLimit);
        QCOMPARE(result.cells.size(), std::size_t(QueryRun::rowLimit));
        QCOMPARE(result.countMessage, QStringLiteral("1200 items found. The first 1000 are shown."));
        // Cells are trimmed of outer spaces; Null reads "Null" and is marked.
        QCOMPARE(result.text(0, 0), QStringLiteral("row 1"));
        QCOMPARE(result.text(1, 0), QStringLiteral("Null"));
        QVERIFY(result.isNull(1, 0));
        QVERIFY(!result.isNull(0, 0));
    }

    void aFailureKeepsTheRowsReadBeforeIt()
    {
        // Row 500 overflows: the rows before it stay; the label keeps what it showed.
        const QueryResult result = QueryRun(*m_db, m_notCancelled).run(QStringLiteral(
            "select i, case when i = 500 then abs(-9223372036854775807 - 1) else i end as v from n"), {});
        QCOMPARE(result.failure, QStringLiteral("integer overflow"));
        QCOMPARE(result.rowCount, 499);
        QCOMPARE(result.countMessage, std::nullopt);
    }

    void aCancelledRunFails()
    {
        const std::atomic_bool cancelled = true;
        const QueryResult result = QueryRun(*m_db, cancelled).run(QStringLiteral("select i from n"), {});
        QCOMPARE(result.failure, QStringLiteral("The statement was cancelled."));
        QCOMPARE(result.countMessage, std::nullopt);
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Database> m_db;
    const std::atomic_bool m_notCancelled = false;
};

QTEST_MAIN(QueryRunTest)
#include "tst_queryrun.moc"
