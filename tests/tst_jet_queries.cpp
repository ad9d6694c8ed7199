// What an Access file holds beyond its tables: its saved queries, rebuilt as
// Access's SQL view shows them and run by name, its system tables, and its
// links to tables in other files, followed or explained.
#include "AccessParameters.h"
#include "JetDatabase.h"
#include "TestSupport.h"
#include "mdlMain.h"

#include <map>

using morvane::Database;
using morvane::DatabaseEngine;
using morvane::FieldValue;
using morvane::JetDatabase;
namespace test = morvane::test;

namespace {

QStringList column(Database &db, const QString &sql)
{
    QStringList values;
    auto recordset = db.openRecordset(sql);
    for (; !recordset->eof(); recordset->moveNext())
        values << morvane::FieldText(recordset->value(0));
    return values;
}

QString lines(std::initializer_list<const char *> parts)
{
    QStringList all;
    for (const char *part : parts)
        all << QString::fromUtf8(part);
    return all.join(QStringLiteral("\r\n"));
}

const QStringList queryFiles = {
    QStringLiteral("queries-jet3.mdb"),
    QStringLiteral("queries-jet4-2000.mdb"),
    QStringLiteral("queries-jet4.mdb"),
    QStringLiteral("queries-ace12.accdb"),
};

// The texts Access's SQL view shows for the queries of every queries-* file.
const std::map<QString, QString> &accessTexts()
{
    static const std::map<QString, QString> texts = {
        {QStringLiteral("SelectQuery"),
         lines({"SELECT DISTINCT Table1.*, Table2.col1, Table2.col2, Table3.col3",
                "FROM (Table1 LEFT JOIN Table3 ON Table1.col1 = Table3.col1) INNER JOIN Table2 ON (Table3.col1 = "
                "Table2.col1) AND (Table3.col1 = Table2.col2)",
                "WHERE (((Table2.col2)=\"foo\" Or (Table2.col2) In (\"buzz\",\"bazz\")))", "ORDER BY Table2.col1;"})},
        {QStringLiteral("DeleteQuery"),
         lines({"DELETE Table1.col1, Table1.col2, Table1.col3", "FROM Table1",
                "WHERE (((Table1.col1)>\"blah\"));"})},
        {QStringLiteral("AppendQuery"),
         lines({"INSERT INTO Table3", "SELECT [Table1].[col2], [Table2].[col2], [Table2].[col3]",
                "FROM Table3, Table1 INNER JOIN Table2 ON [Table1].[col1]=[Table2].[col1];"})},
        {QStringLiteral("UpdateQuery"),
         lines({"PARAMETERS User Name Text;", "UPDATE Table1",
                "SET Table1.col1 = \"foo\", Table1.col2 = [Table2].[col3], [Table2].[col1] = [User Name]",
                "WHERE ((([Table2].[col1]) Is Not Null));"})},
        {QStringLiteral("MakeTableQuery"),
         lines({"SELECT Max(Table2.col1) AS MaxOfcol1, Table2.col2, Table3.col2 INTO Table4",
                "FROM (Table2 INNER JOIN Table1 ON Table2.col1 = Table1.col2) RIGHT JOIN Table3 ON Table1.col2 = "
                "Table3.col3",
                "GROUP BY Table2.col2, Table3.col2",
                "HAVING (((Max(Table2.col1))=\"buzz\") AND ((Table2.col2)<>\"blah\"));"})},
        {QStringLiteral("CrosstabQuery"),
         lines({"TRANSFORM Count([Table2].[col2]) AS CountOfcol2",
                "SELECT Table2_1.col1, [Table2].[col3], Avg(Table2_1.col2) AS AvgOfcol2",
                "FROM (Table1 INNER JOIN Table2 ON [Table1].[col1]=[Table2].[col1]) INNER JOIN Table2 AS Table2_1 ON "
                "[Table2].[col1]=Table2_1.col3",
                "WHERE ((([Table1].[col1])>\"10\") And ((Table2_1.col1) Is Not Null) And "
                "((Avg(Table2_1.col2))>\"10\"))",
                "GROUP BY Table2_1.col1, [Table2].[col3]", "ORDER BY [Table2].[col3]", "PIVOT [Table1].[col1];"})},
        {QStringLiteral("UnionQuery"),
         lines({"Select Table1.col1, Table1.col2", "where Table1.col1 = \"foo\"", "UNION",
                "Select Table2.col1, Table2.col2", "UNION ALL Select Table3.col1, Table3.col2",
                "where Table3.col3 > \"blah\";"})},
        {QStringLiteral("PassthroughQuery"), QStringLiteral("ALTER TABLE Table4 DROP COLUMN col5;")},
        {QStringLiteral("DataDefinitionQuery"), QStringLiteral("CREATE TABLE Table5 (col1 CHAR, col2 CHAR);")},
    };
    return texts;
}

} // namespace

class tst_JetQueries : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_folders.emplace(); }

    void rebuildsTheTextOfAccessSqlView_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("text");
        for (const QString &file : queryFiles) {
            for (const auto &[query, text] : accessTexts())
                QTest::addRow("%s %s", qPrintable(file), qPrintable(query)) << file << query << text;
        }
    }

    void rebuildsTheTextOfAccessSqlView()
    {
        QFETCH(QString, file);
        QFETCH(QString, query);
        QFETCH(QString, text);
        const QStringList found =
            column(database(file), QStringLiteral("select AccessSQL from [%1] where Name = '%2'")
                                       .arg(JetDatabase::queryListName(), query));
        QCOMPARE(found, QStringList{text});
    }

    // The idiom for listing queries reads the system table itself; the list
    // of queries names the same ones with their kinds.
    void systemTablesAndTheListOfQueries_data()
    {
        QTest::addColumn<QString>("file");
        for (const QString &file : queryFiles)
            QTest::newRow(qPrintable(file)) << file;
    }

    void systemTablesAndTheListOfQueries()
    {
        QFETCH(QString, file);
        Database &db = database(file);
        QStringList names = column(db, QStringLiteral("select Name from MSysObjects where Type = 5"));
        names.sort();
        QStringList expected;
        for (const auto &entry : accessTexts())
            expected << entry.first;
        QCOMPARE(names, expected);
        QCOMPARE(column(db, QStringLiteral("select Kind from [%1] order by Name").arg(JetDatabase::queryListName())),
                 QStringList({"append", "crosstab", "data definition", "delete", "make-table", "pass-through",
                              "select", "union", "update"}));
        QVERIFY(!column(db, QStringLiteral("select count(*) from MSysQueries")).isEmpty());
        // Its tables are empty; the joins and conditions still have to plan,
        // the crosstab's row total and its condition on that total too.
        QCOMPARE(column(db, QStringLiteral("select count(*) from selectquery")), QStringList{"0"});
        QCOMPARE(column(db, QStringLiteral("select count(*) from [CrosstabQuery]")), QStringList{"0"});
        QCOMPARE(column(db, QStringLiteral("select count(*) from [%1] where Name = 'CrosstabQuery' and Refusal is null")
                                .arg(JetDatabase::queryListName())),
                 QStringList{"1"});
    }

    // The union's parts have no FROM: Access asks for each name in them,
    // qualified or not, as a parameter.
    void namesNoTableProvidesAreAskedFor_data() { systemTablesAndTheListOfQueries_data(); }

    void namesNoTableProvidesAreAskedFor()
    {
        QFETCH(QString, file);
        Database &db = database(file);
        QStringList asked;
        db.setParameterPrompt([&asked](const QString &name) -> std::optional<QString> {
            asked << name;
            return QStringLiteral("foo");
        });
        // "foo" everywhere: the first two parts give one row, the third
        // (UNION ALL, "foo" > "blah") another.
        QCOMPARE(column(db, QStringLiteral("select count(*) from UnionQuery")), QStringList{"2"});
        asked.sort();
        QCOMPARE(asked, QStringList({"Table1.col1", "Table1.col2", "Table2.col1", "Table2.col2", "Table3.col1",
                                     "Table3.col2", "Table3.col3"}));
        db.setParameterPrompt({});
    }

    void actionQueriesAreRefusedWithTheirKind_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("kind");
        const std::pair<const char *, const char *> kinds[] = {
            {"AppendQuery", "an append query"},       {"UpdateQuery", "an update query"},
            {"DeleteQuery", "a delete query"},        {"MakeTableQuery", "a make-table query"},
            {"DataDefinitionQuery", "a data definition query"}, {"PassthroughQuery", "a pass-through query"},
        };
        for (const QString &file : queryFiles) {
            for (const auto &[query, kind] : kinds)
                QTest::addRow("%s %s", qPrintable(file), query) << file << QString::fromUtf8(query) << QString::fromUtf8(kind);
        }
    }

    void actionQueriesAreRefusedWithTheirKind()
    {
        QFETCH(QString, file);
        QFETCH(QString, query);
        QFETCH(QString, kind);
        const QString why = test::failureOf([&] { database(file).openRecordset(QStringLiteral("select * from [%1]").arg(query.toLower())); });
        QVERIFY2(why.contains(kind) && why.contains(QStringLiteral("read-only")), qPrintable(why));
    }

    // The link's back end is found beside the front end although the stored
    // path is a Windows one; without it, the Get says where it looked.
    void linkedTablesAreFollowedOrExplained()
    {
        Database &linker = database(QStringLiteral("linker-ace12.accdb"));
        QCOMPARE(column(linker, QStringLiteral("select Field1 from Table2 where ID = 1")), QStringList{"bar"});
        QCOMPARE(column(linker, QStringLiteral("select Table1.Field1 || Table2.Field1 from Table1, table2")),
                 QStringList{"foobar"});

        QTemporaryDir alone;
        QVERIFY(QFile::copy(test::jetFixture(QStringLiteral("linker-ace12.accdb")), alone.filePath(QStringLiteral("front.accdb"))));
        auto lonely = DatabaseEngine::openDatabase(alone.filePath(QStringLiteral("front.accdb")));
        QCOMPARE(column(*lonely, QStringLiteral("select Field1 from Table1")), QStringList{"foo"});
        const QString missing = test::failureOf([&] { lonely->openRecordset(QStringLiteral("select * from Table2")); });
        QVERIFY2(missing.contains(QStringLiteral("Z:\\jackcess_test\\linkeeTest.accdb"))
                     && missing.contains(QDir(alone.path()).absolutePath()),
                 qPrintable(missing));

        Database &odbc = database(QStringLiteral("odbc-linker-ace12.accdb"));
        const QString unreachable = test::failureOf([&] { odbc.openRecordset(QStringLiteral("select * from Ordrar")); });
        QVERIFY2(unreachable.contains(QStringLiteral("ODBC")) && unreachable.contains(QStringLiteral("DSN=Magnapinna"))
                     && !unreachable.contains(QStringLiteral("DummyPassword")),
                 qPrintable(unreachable));
        // A record source selecting from a select in its FROM clause runs as
        // far as the file allows: this copy lacks the table it reads.
        const QString lacking = test::failureOf(
            [&] { odbc.openRecordset(QStringLiteral("select * from [~sq_cKunder~sq_cChild1]")); });
        QVERIFY2(lacking.contains(QStringLiteral("no such table: main.Tekniker")), qPrintable(lacking));
    }

    // A parameter's answer is read as its declared type, as Access reads
    // what is typed into its dialog.
    void parameterValuesTakeTheirDeclaredType_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QVariant>("value");
        QTest::newRow("text as typed") << " Sales " << "Text(20)" << QVariant(QStringLiteral(" Sales "));
        QTest::newRow("empty is Null") << "" << "Long" << QVariant();
        QTest::newRow("month first") << "2/1/95" << "DateTime" << QVariant(QStringLiteral("1995-02-01"));
        QTest::newRow("year first, time") << "1995-01-31 10:00" << "DateTime" << QVariant(QStringLiteral("1995-01-31 10:00:00"));
        QTest::newRow("afternoon") << "12/31/2029 1:05 PM" << "DateTime" << QVariant(QStringLiteral("2029-12-31 13:05:00"));
        QTest::newRow("yes") << "Yes" << "Bit" << QVariant(qint64(-1));
        QTest::newRow("false") << "false" << "Bit" << QVariant(qint64(0));
        QTest::newRow("half to even") << "2.5" << "Long" << QVariant(qint64(2));
        QTest::newRow("currency") << "1995.5" << "Currency" << QVariant(1995.5);
        QTest::newRow("not a date") << "31/1/95" << "DateTime" << QVariant(QStringLiteral("error"));
        QTest::newRow("byte too large") << "256" << "Byte" << QVariant(QStringLiteral("error"));
        QTest::newRow("not a number") << "ten" << "Short" << QVariant(QStringLiteral("error"));
    }

    void parameterValuesTakeTheirDeclaredType()
    {
        QFETCH(QString, typed);
        QFETCH(QString, type);
        QFETCH(QVariant, value);
        if (value == QVariant(QStringLiteral("error"))) {
            const QString why = test::failureOf([&] { (void)morvane::AccessParameters::valueOf(QStringLiteral("P"), typed, type); });
            QVERIFY2(why.contains(QStringLiteral("'P'")), qPrintable(why));
            return;
        }
        QCOMPARE(morvane::AccessParameters::valueOf(QStringLiteral("P"), typed, type), value);
    }

    // Saved select queries run by name, in any letter case, with or without
    // brackets, alone or joined; record sources of forms can be named but
    // are not listed. The expected values are counted from the table.
    void savedQueriesRunByName()
    {
        Database &db = database(QStringLiteral("sample-queries-ace12.accdb"));
        QCOMPARE(column(db, QStringLiteral("select count(*) from qryComputerHardwareInOwnerOrder")), QStringList{"24"});
        QCOMPARE(column(db, QStringLiteral("select Owner from [QRYCOMPUTERHARDWAREINOWNERORDER]")).first(),
                 QStringLiteral("Admin & Accounts"));
        QCOMPARE(column(db, QStringLiteral("select SumOfCost from qryCostsSummedByOwner where Owner = \"management\"")),
                 QStringList{"3425.5"});
        QCOMPARE(column(db, QStringLiteral("select count(*) from qryCostsSummedByOwner c inner join "
                                           "qryComputerHardwareInOwnerOrder h on h.Owner = c.Owner "
                                           "where c.[Asset Category] = 'Computer Software'")),
                 QStringList{"5"});
        QCOMPARE(column(db, QStringLiteral("select count(*) from [~sq_ffrmAssetInventory]")), QStringList{"65"});
        QCOMPARE(column(db, QStringLiteral("select Name from [%1] order by Name").arg(JetDatabase::queryListName())),
                 QStringList({"qryComputerHardwareInOwnerOrder", "qryCostsSummedByOwner", "qryGSTCalculations"}));
        QCOMPARE(column(db, QStringLiteral("select count(*) from [%1] where SQLiteSQL is null").arg(JetDatabase::queryListName())),
                 QStringList{"0"});
    }

    // One answer serves the statement and its count; a new prompt (the next
    // Get) asks again; a typed name that no table provides is a typo, not a
    // parameter.
    void parametersAreAskedOncePerRunAndNeverForTypos()
    {
        Database &db = database(QStringLiteral("parameter-query-ace12.accdb"));
        QStringList asked;
        const auto prompt = [&asked](const QString &name) -> std::optional<QString> {
            asked << name;
            return QStringLiteral("general equipment");
        };
        db.setParameterPrompt(prompt);
        const QString select = QStringLiteral("select [Asset No] from qryComputerHardwareInOwnerOrder");
        QCOMPARE(column(db, select).size(), 11);
        QCOMPARE(db.countRows(select), 11);
        QCOMPARE(asked, QStringList{"Category to show?"});
        db.setParameterPrompt(prompt);
        QCOMPARE(db.countRows(select), 11);
        QCOMPARE(asked.size(), 2);

        db.setParameterPrompt(prompt);
        QCOMPARE(column(db, QStringLiteral("PARAMETERS [Which?] Text; select count(*) from [Asset Items] "
                                           "where [Asset Category] = [Which?]")),
                 QStringList{"11"});
        QCOMPARE(asked.size(), 3);

        const QString typo = test::failureOf([&] { column(db, QStringLiteral("select [Asset Nr] from [Asset Items]")); });
        QVERIFY2(typo.contains(QStringLiteral("Asset Nr")), qPrintable(typo));
        QCOMPARE(asked.size(), 3);
        db.setParameterPrompt({});
    }

private:
    Database &database(const QString &file)
    {
        auto &db = m_databases[file];
        if (!db)
            db = DatabaseEngine::openDatabase(test::jetFixture(file));
        return *db;
    }

    std::optional<test::IsolatedUserFolders> m_folders;
    std::map<QString, std::unique_ptr<Database>> m_databases;
};

QTEST_GUILESS_MAIN(tst_JetQueries)
#include "tst_jet_queries.moc"
