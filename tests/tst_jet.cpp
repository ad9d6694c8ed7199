// The Access backend at engine level: select statements run through SQLite
// with Access's functions over the columns they name, readers that die or
// stall are replaced, and the file is never changed. Every value of every
// file is checked by tst_jet_values.
#include "TestSupport.h"

#include <QRegularExpression>

#include <atomic>
#include <thread>

#include <csignal>
#include <sys/types.h>

using morvane::Database;
using morvane::DatabaseEngine;
using morvane::Failure;
using morvane::FieldValue;

using morvane::test::compareRows;
using morvane::test::integer;
using morvane::test::real;
using morvane::test::text;
using morvane::test::Row;
using morvane::test::Rows;
using morvane::test::rowsOf;

namespace {

QString fixture(const QString &name) { return morvane::test::jetFixture(name); }

std::unique_ptr<Database> openFixture(const QString &name) { return DatabaseEngine::openDatabase(fixture(name)); }

FieldValue scalar(Database &db, const QString &sql)
{
    return rowsOf(db, sql).value(0).value(0);
}

// The processes this test program started: the database's readers.
QList<pid_t> ownChildren()
{
    QList<pid_t> children;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces, the rest not.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == self.toLatin1())
            children << pid;
    }
    return children;
}

} // namespace

class tst_Jet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_folders.emplace(); }

    void typesMatchTheColumns()
    {
        auto db = openFixture(QStringLiteral("types-ace14.accdb"));
        compareRows(rowsOf(*db, QStringLiteral("select typeof(A), typeof(C), typeof(E), typeof(F), typeof(G), "
                                               "typeof(H), typeof(I) from Table1 order by A")),
                    {{text("text"), text("integer"), text("integer"), text("real"), text("text"), text("integer"),
                      text("integer")},
                     {text("text"), text("integer"), text("integer"), text("real"), text("text"), text("real"),
                      text("integer")}});
        // Column affinities make comparisons with texts work as on an SQLite table.
        QCOMPARE(scalar(*db, QStringLiteral("select count(*) from Table1 where E = '333333333'")), integer(1));
        QCOMPARE(scalar(*db, QStringLiteral("select count(*) from Table1 where H > 1")), integer(1));
        // Dates compare and feed SQLite's date functions.
        QCOMPARE(scalar(*db, QStringLiteral("select A from Table1 where G < '1980-01-01'")), text("abcdefg"));
        QCOMPARE(scalar(*db, QStringLiteral("select strftime('%Y/%m/%d', G) from Table1 where A = 'a'")),
                 text("1981/12/12"));
        QCOMPARE(scalar(*db, QStringLiteral("select max(G) from Table1")), text("1981-12-12"));
    }

    void threeTables_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<Rows>("expected");
        QTest::newRow("join") << "select t1.id, t2.data, t3.data from Table1 t1"
                                 " join Table2 t2 on t2.id = t1.otherfk1"
                                 " join Table3 t3 on t3.id = t1.otherfk2 order by t1.id"
                              << Rows{{integer(0), text("foo0"), text("bar10")}, {integer(1), text("foo1"), text("bar11")},
                                      {integer(2), text("foo1"), text("bar11")}, {integer(3), text("foo2"), text("bar13")}};
        QTest::newRow("group by") << "select t2.data, count(*), group_concat(t1.data, '+') from Table1 t1"
                                     " join Table2 t2 on t2.id = t1.otherfk1 group by t2.data order by t2.data"
                                  << Rows{{text("foo0"), integer(1), text("baz0")}, {text("foo1"), integer(2), text("baz11+baz11-2")},
                                          {text("foo2"), integer(1), text("baz13")}};
        QTest::newRow("correlated sub-select") << "select data, (select count(*) from Table1 t1"
                                                  " where t1.otherfk2 = t3.id) from Table3 t3 order by data desc"
                                               << Rows{{text("bar13"), integer(1)}, {text("bar12"), integer(0)},
                                                       {text("bar11"), integer(2)}, {text("bar10"), integer(1)}};
        QTest::newRow("exists") << "select data from Table2 t2 where exists"
                                   " (select 1 from Table1 t1 where t1.otherfk1 = t2.id and t1.otherfk2 > 10)"
                                   " order by data"
                                << Rows{{text("foo1")}, {text("foo2")}};
    }

    void threeTables()
    {
        QFETCH(QString, sql);
        QFETCH(Rows, expected);
        auto db = openFixture(QStringLiteral("three-tables-ace14.accdb"));
        compareRows(rowsOf(*db, sql), expected);
    }

    // Only the columns a statement names are read: aggregates over one of
    // them, a filter on Null and a row in the middle.
    void rows512()
    {
        auto db = openFixture(QStringLiteral("rows512-jet4.mdb"));
        compareRows(rowsOf(*db, QStringLiteral("select count(CD_AGENTE), count(distinct CD_AGENTE), sum(CD_AGENTE),"
                                               " min(CD_AGENTE), max(CD_AGENTE) from Table1")),
                    {{integer(510), integer(510), integer(1563456), integer(19), integer(4813)}});
        compareRows(rowsOf(*db, QStringLiteral("select DC_AGENTE from Table1 where CD_AGENTE is null order by 1")),
                    {{text("ddd")}, {text("efg")}});
        compareRows(rowsOf(*db, QStringLiteral("select CD_AGENTE from Table1 limit 1 offset 255")), {{integer(3379)}});
    }

    void nullIsNotEmptyText()
    {
        auto db = openFixture(QStringLiteral("overflow-rows-ace14.accdb"));
        compareRows(rowsOf(*db, QStringLiteral("select data1, data3, data9 from Table1")),
                    {{text("row1col1"), FieldValue(), FieldValue()}, {text("row2col1"), text("row2col3"), FieldValue()},
                     {FieldValue(), text("row3col3"), text("row3col9")}, {text("row4col1"), text("row4col2"), FieldValue()},
                     {FieldValue(), text("row5col2"), FieldValue()}, {FieldValue(), text("row6col2"), FieldValue()},
                     {text("row7col1"), FieldValue(), FieldValue()}});
        QCOMPARE(scalar(*db, QStringLiteral("select count(*) from Table1 where data1 is null")), integer(3));
        QCOMPARE(scalar(*db, QStringLiteral("select count(*) from Table1 where data1 = ''")), integer(0));
    }

    void newerKindsInStatements_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("sql");
        QTest::addColumn<Rows>("expected");
        QTest::newRow("calculated") << "calculated-ace14.accdb"
                                    << "select LastFirst, MonthlySalary * 12 from Table1 where LastFirstLen = 12"
                                    << Rows{{text("Wayne, Bruce"), real(999999.9996)}};
        QTest::newRow("multi-valued") << "complex-ace12.accdb"
                                      << "select id from Table1 where [multi-value-data] like '%value2%'"
                                      << Rows{{text("row3")}};
        QTest::newRow("version count") << "complex-ace12.accdb"
            << "select sum([VersionHistory_F5F8918F-0A3F-4DA9-AE71-184EE5012880]) from Table1" << Rows{{integer(5)}};
        QTest::newRow("attached files") << "attachments-ace12.accdb"
                                        << "select t.ID, a.FileName, cast(a.FileData as text) from Table1 t"
                                           " join \"Table1.Attachments\" a on a.row = t.rowid where t.ID = 3"
                                        << Rows{{integer(3), text("attachment1.txt"), text("Attachment 1")},
                                                {integer(3), text("attachment2.txt"), text("Attachment 2")},
                                                {integer(3), text("attachment3.txt"), text("Attachment 3")}};
        QTest::newRow("extended dates compare") << "extended-date-ace17.accdb" << "select ID, typeof(DateExt) from Table1 where DateExt < '1800-01-01' order by DateExt"
            << Rows{{integer(8), text("text")}, {integer(9), text("text")}, {integer(7), text("text")}};
    }

    void newerKindsInStatements()
    {
        QFETCH(QString, file);
        QFETCH(QString, sql);
        QFETCH(Rows, expected);
        auto db = openFixture(file);
        compareRows(rowsOf(*db, sql), expected);
    }

    void namesIgnoreCaseAndMayHoldSpaces()
    {
        auto db = openFixture(QStringLiteral("three-tables-ace14.accdb"));
        for (const char *sql : {"select data from Table2 where id = 1", "SELECT DATA FROM TABLE2 WHERE ID = 1",
                                "select [Data] from [table2] where [Id] = 1",
                                "select `DATA` from \"tAbLe2\" where `iD` = 1"})
            QCOMPARE(scalar(*db, QString::fromLatin1(sql)), text("foo1"));

        db = openFixture(QStringLiteral("spaces-ace14.accdb"));
        QCOMPARE(scalar(*db, QStringLiteral("select data from [my bar] where id = 12")), text("bar12"));
        auto recordset = db->openRecordset(QStringLiteral("select * from Table1 order by [OTHER K1] desc, id"));
        QCOMPARE(recordset->fieldName(1), QStringLiteral("other k1"));
        QCOMPARE(recordset->value(u"Other K1"), integer(2));
        QCOMPARE(recordset->value(u"DATA"), text("baz13"));
        compareRows(rowsOf(*db, QStringLiteral("select b.data from Table1 t join [My Bar] b on b.id = t.otherfk2"
                                               " where t.[other k1] = 1 order by t.id")),
                    {{text("bar11")}, {text("bar11")}});
    }

    void accessFunctions_data()
    {
        QTest::addColumn<QString>("expression");
        QTest::addColumn<FieldValue>("expected");
        // On the row A = 'abcdefg', B = 'hijklmnop', C = 2, G = 1974-09-21, I = yes.
        QTest::newRow("IIf true") << "IIf(I, 'yes', 'no')" << text("yes");
        QTest::newRow("IIf false") << "IIf(C > 5, 'big', C)" << integer(2);
        QTest::newRow("IIf Null") << "IIf(Null, 1, 2)" << integer(2);
        QTest::newRow("Nz value") << "Nz(A, 'x')" << text("abcdefg");
        QTest::newRow("Nz Null") << "Nz(Null, 'x')" << text("x");
        QTest::newRow("Nz Null in a query") << "Nz(Null)" << text("");
        QTest::newRow("Len") << "Len(B)" << integer(9);
        QTest::newRow("Len of Null") << "Len(Null)" << FieldValue();
        QTest::newRow("Len counts UTF-16") << "Len('a𝄞')" << integer(3);
        QTest::newRow("Left") << "Left(A, 3)" << text("abc");
        QTest::newRow("Left beyond") << "Left(A, 50)" << text("abcdefg");
        QTest::newRow("Left of Null") << "Left(Null, 2)" << FieldValue();
        QTest::newRow("Right") << "Right(A, 2)" << text("fg");
        QTest::newRow("Mid") << "Mid(B, 2, 3)" << text("ijk");
        QTest::newRow("Mid to the end") << "Mid(B, 7)" << text("nop");
        QTest::newRow("Mid beyond") << "Mid(B, 20)" << text("");
        QTest::newRow("UCase") << "UCase(A)" << text("ABCDEFG");
        QTest::newRow("LCase beyond ASCII") << "LCase('ÞÓRSMÖRK')" << text("þórsmörk");
        QTest::newRow("Trim spaces only") << "Trim('  x y ')" << text("x y");
        QTest::newRow("LTrim") << "LTrim('  x ')" << text("x ");
        QTest::newRow("RTrim") << "RTrim('  x ')" << text("  x");
        QTest::newRow("InStr") << "InStr(B, 'klm')" << integer(4);
        QTest::newRow("InStr from a start") << "InStr(5, B, 'k')" << integer(0);
        QTest::newRow("InStr exact") << "InStr(A, 'CDE')" << integer(0);
        QTest::newRow("InStr as text") << "InStr(1, A, 'CDE', 1)" << integer(3);
        QTest::newRow("InStr empty") << "InStr(3, A, '')" << integer(3);
        QTest::newRow("Year") << "Year(G)" << integer(1974);
        QTest::newRow("Month") << "Month(G)" << integer(9);
        QTest::newRow("Day") << "Day(G)" << integer(21);
        QTest::newRow("Hour") << "Hour('1850-07-04 12:30:05')" << integer(12);
        QTest::newRow("Minute") << "Minute('1850-07-04 12:30:05')" << integer(30);
        QTest::newRow("Second") << "Second('1850-07-04 12:30:05')" << integer(5);
        QTest::newRow("Year of a date number") << "Year(-1.25)" << integer(1899);
        QTest::newRow("Day of Null") << "Day(Null)" << FieldValue();
        QTest::newRow("any letter case") << "ucase(left(a, 2)) || LCASE(MID(b, 1, 1))" << text("ABh");
    }

    void accessFunctions()
    {
        QFETCH(QString, expression);
        QFETCH(FieldValue, expected);
        auto db = openFixture(QStringLiteral("types-ace14.accdb"));
        QCOMPARE(scalar(*db, QStringLiteral("select %1 from Table1 where A = 'abcdefg'").arg(expression)), expected);
    }

    void accessFunctionErrors_data()
    {
        QTest::addColumn<QString>("expression");
        QTest::addColumn<QString>("error");
        QTest::newRow("negative count") << "Left(A, -1)" << "Invalid procedure call or argument in Left()";
        QTest::newRow("start at 0") << "Mid(A, 0)" << "Invalid procedure call or argument in Mid()";
        QTest::newRow("Null count") << "Right(A, Null)" << "Invalid use of Null in Right()";
        QTest::newRow("not a date") << "Year(A)" << "Type mismatch in Year()";
        QTest::newRow("not a condition") << "IIf(A, 1, 2)" << "Type mismatch in IIf()";
    }

    void accessFunctionErrors()
    {
        QFETCH(QString, expression);
        QFETCH(QString, error);
        auto db = openFixture(QStringLiteral("types-ace14.accdb"));
        QCOMPARE(morvane::test::failureOf([&] { rowsOf(*db, QStringLiteral("select %1 from Table1").arg(expression)); }), error);
    }

    void currentDateAndTime()
    {
        auto db = openFixture(QStringLiteral("types-ace14.accdb"));
        // Access's Now and Date are local; a day either way keeps a run at
        // midnight from failing.
        QCOMPARE(scalar(*db, QStringLiteral("select Date() between date('now', 'localtime', '-1 day')"
                                            " and date('now', 'localtime', '+1 day') and Now() between"
                                            " datetime('now', 'localtime', '-1 day') and datetime('now', 'localtime', '+1 day')"
                                            " and Year(Date()) = cast(strftime('%Y', Date()) as integer)")),
                 integer(-1));
        const QString now = scalar(*db, QStringLiteral("select Now()")).text();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")).match(now).hasMatch(),
                 qPrintable(now));
    }

    void readerThatDiesIsReplaced()
    {
        auto db = openFixture(QStringLiteral("types-ace14.accdb"));
        QCOMPARE(scalar(*db, QStringLiteral("select count(*) from Table1")), integer(2));
        const QList<pid_t> readers = ownChildren();
        QVERIFY(!readers.isEmpty());
        for (pid_t reader : readers)
            QCOMPARE(::kill(reader, SIGKILL), 0);
        // Rows read before stay; a table not read yet needs a new reader.
        QCOMPARE(scalar(*db, QStringLiteral("select count(*) from Table3")), integer(0));
        QCOMPARE(scalar(*db, QStringLiteral("select A from Table1 where C = 2")), text("abcdefg"));
    }

    // Cancel does not wait for a reader that has stopped answering: the wait ends
    // at once, far inside the silence limit, and the reader is ended.
    void cancelEndsAStalledScan()
    {
        auto db = DatabaseEngine::openDatabase(fixture(QStringLiteral("three-tables-ace14.accdb")),
                                               morvane::EngineTimeouts{1000, 20000});
        QCOMPARE(scalar(*db, QStringLiteral("select count(*) from Table1")), integer(4));
        const QList<pid_t> readers = ownChildren();
        QVERIFY(!readers.isEmpty());
        for (pid_t reader : readers)
            QCOMPARE(::kill(reader, SIGSTOP), 0);

        std::atomic<bool> done = false;
        QString failure;
        QElapsedTimer timer;
        timer.start();
        std::thread statement([&] {
            try {
                (void)db->countRows(QStringLiteral("select * from Table2"));
            } catch (const Failure &error) {
                failure = error.description();
            }
            done = true;
        });
        // The statement may not have started yet when the first Cancel comes.
        QTRY_VERIFY_WITH_TIMEOUT((db->interrupt(), done.load()), 5000);
        statement.join();
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(failure, QStringLiteral("interrupted"));
        for (pid_t reader : readers)
            QVERIFY(!ownChildren().contains(reader));
        // The next statement starts a new reader.
        QCOMPARE(scalar(*db, QStringLiteral("select count(*) from Table2")), integer(3));
    }

    // Statements that would write, attach a file or change the session do
    // not open; writes to the tables themselves are checked for every file
    // below.
    void onlyReadingStatementsOpen_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::newRow("attach") << "attach database '%1' as other";
        QTest::newRow("pragma") << "pragma writable_schema = on";
        QTest::newRow("create view") << "create temp view v as select 1";
    }

    void onlyReadingStatementsOpen()
    {
        QFETCH(QString, sql);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const QString created = folder.filePath(QStringLiteral("created.db"));
        auto db = openFixture(QStringLiteral("types-ace14.accdb"));
        QVERIFY_THROWS_EXCEPTION(Failure, rowsOf(*db, sql.contains(u"%1") ? sql.arg(created) : sql));
        QVERIFY(!QFileInfo::exists(created));
        QCOMPARE(scalar(*db, QStringLiteral("select count(*) from Table1")), integer(2));
    }

    void fileNeverChanges_data()
    {
        QTest::addColumn<QString>("file");
        const QStringList files = QDir(QStringLiteral(MORVANE_TEST_DATA "/jet"))
                                      .entryList({QStringLiteral("*.mdb"), QStringLiteral("*.accdb")}, QDir::Files,
                                                 QDir::Name);
        QVERIFY(files.size() >= 10);
        for (const QString &file : files)
            QTest::newRow(qPrintable(file)) << file;
    }

    void fileNeverChanges()
    {
        QFETCH(QString, file);
        const QString path = fixture(file);
        const QByteArray before = morvane::test::checksum(path);
        const QDateTime modified = QFileInfo(path).lastModified();
        QVERIFY(!before.isEmpty());
        {
            // The files encrypted with a password are read with theirs.
            const auto password = [](const QString &) { return std::optional<QString>(QStringLiteral("password")); };
            auto db = DatabaseEngine::openDatabase(path, {}, password);
            for (const Row &name : rowsOf(*db, QStringLiteral("select name from sqlite_schema"))) {
                const QString quoted = u'[' + name.at(0).text() + u']';
                // Links without their back end and action queries cannot be
                // read; they must not write either.
                morvane::test::failureOf([&] { rowsOf(*db, QStringLiteral("select * from %1").arg(quoted)); });
                morvane::test::failureOf([&] {
                    rowsOf(*db, QStringLiteral("select count(*), min(a.rowid) from %1 a cross join %1 b").arg(quoted));
                });
                for (const QString &sql : {QStringLiteral("delete from %1"), QStringLiteral("drop table %1"),
                                           QStringLiteral("insert into %1 default values")}) {
                    QVERIFY_THROWS_EXCEPTION(Failure, db->execute(sql.arg(quoted)));
                    QVERIFY_THROWS_EXCEPTION(Failure, db->openRecordset(sql.arg(quoted)));
                }
            }
        }
        QCOMPARE(morvane::test::checksum(path), before);
        QCOMPARE(QFileInfo(path).lastModified(), modified);
    }

private:
    std::optional<morvane::test::IsolatedUserFolders> m_folders;
};

QTEST_GUILESS_MAIN(tst_Jet)
#include "tst_jet.moc"
