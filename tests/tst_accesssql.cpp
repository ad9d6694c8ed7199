// Access SQL on Access files: each construct with the meaning Access gives
// it, run through the engine on real files (the asset table of
// sample-queries-ace12.accdb and the Yes/No column of types-ace14.accdb);
// constructs that are refused name themselves; the translator alone reports
// declared parameters and reads crosstab headings through its context.
#include "TestSupport.h"

#include "AccessSqlTranslator.h"

using morvane::AccessSqlContext;
using morvane::AccessSqlRows;
using morvane::AccessSqlTranslator;
using morvane::Database;
using morvane::DatabaseEngine;
using morvane::Failure;
using morvane::FieldValue;

using morvane::test::compareRows;
using morvane::test::integer;
using morvane::test::jetFixture;
using morvane::test::real;
using morvane::test::text;
using morvane::test::Row;
using morvane::test::Rows;
using morvane::test::rowsOf;

namespace {

const FieldValue null;

// The rows, or a failed test that names the engine's description.
Rows checkedRows(Database &db, const QString &sql)
{
    try {
        return rowsOf(db, sql);
    } catch (const Failure &error) {
        QTest::qFail(qPrintable(error.description()), __FILE__, __LINE__);
        return {};
    }
}

} // namespace

class tst_AccessSql : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_folders.emplace();
        m_assets = DatabaseEngine::openDatabase(jetFixture(QStringLiteral("sample-queries-ace12.accdb")));
        m_types = DatabaseEngine::openDatabase(jetFixture(QStringLiteral("types-ace14.accdb")));
    }

    void cleanupTestCase()
    {
        m_assets.reset();
        m_types.reset();
    }

    // One construct per row, with the rows Access gives. "Asset Items"
    // holds 65 assets; Model "220ZX" once and "220zx" five times.
    void meaning_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<Rows>("expected");
        const QString assets = QStringLiteral(" from [Asset Items] ");
        const auto count = [&](const QString &where) { return QStringLiteral("select count(*)") + assets + QStringLiteral("where ") + where; };
        QTest::newRow("= ignores letter case") << count(QStringLiteral("Model = \"220zx\"")) << Rows{{integer(6)}};
        QTest::newRow("< ignores letter case") << count(QStringLiteral("Make < \"dennis\"")) << Rows{{integer(5)}};
        QTest::newRow("every alphabet ignores letter case")
            << QStringLiteral("select 'Þórsmörk' = 'þÓRSMÖRK', 'ΑΒΓ' Like 'αβ*', 'straße' = 'STRASSE'")
            << Rows{{integer(-1), integer(-1), integer(0)}};
        QTest::newRow("In ignores letter case") << count(QStringLiteral("Owner In ('SALES', 'management')"))
                                                << Rows{{integer(26)}};
        QTest::newRow("Group By ignores letter case")
            << QStringLiteral("select count(*) from (select Model, count(*)") + assets + QStringLiteral("where Make = 'GEO Rocket' group by Model)")
            << Rows{{integer(1)}};
        QTest::newRow("Distinct ignores letter case")
            << QStringLiteral("select count(*) from (select distinct Model") + assets + QStringLiteral("where Model like '220*')") << Rows{{integer(1)}};
        QTest::newRow("Like *x*") << count(QStringLiteral("Model Like \"*master*\"")) << Rows{{integer(12)}};
        QTest::newRow("Like ? and #") << count(QStringLiteral("Model Like 'H##5'")) << Rows{{integer(4)}};
        QTest::newRow("Like [a-c] and [!a]") << count(QStringLiteral("Make Like '[a-c]*' and Make Like '[!b]*'"))
                                             << Rows{{integer(0)}};
        QTest::newRow("Like % and _ (ANSI)") << count(QStringLiteral("Model Like '%mast_r'")) << Rows{{integer(12)}};
        QTest::newRow("Like without wildcards is =") << count(QStringLiteral("Model Like 'gf780'")) << Rows{{integer(1)}};
        QTest::newRow("Like [*] is a star") << QStringLiteral("select 'a*b' Like 'a[*]b', 'axb' Like 'a[*]b'")
                                           << Rows{{integer(-1), integer(0)}};
        QTest::newRow("Not Like") << count(QStringLiteral("Model Not Like '*master*'")) << Rows{{integer(53)}};
        QTest::newRow("double quotes are text") << QStringLiteral("select \"it's\"") << Rows{{text("it's")}};
        QTest::newRow("[Name With Spaces]")
            << QStringLiteral("select [Asset No]") + assets + QStringLiteral("where [Serial No] = 'DR555677'") << Rows{{text("30118")}};
        QTest::newRow("& joins texts") << QStringLiteral("select [Make] & \" \" & [Model]") + assets + QStringLiteral("where [Asset No] = '30050'")
                                       << Rows{{text("GEO Rocket 220ZX")}};
        QTest::newRow("& with Null is empty") << QStringLiteral("select 'a' & Null & 'b', Null & Null")
                                              << Rows{{text("ab"), null}};
        QTest::newRow("+ joins texts, Null stays") << QStringLiteral("select 'a' + 'b', 'a' + Null, 1 + 2, '1' + 2")
                                                   << Rows{{text("ab"), null, integer(3), real(3)}};
        QTest::newRow("#m/d/yy# is month first") << QStringLiteral("select #2/1/95#, #1995-01-31 10:00#, #13/1/95#")
                                                 << Rows{{text("1995-02-01"), text("1995-01-31 10:00:00"),
                                                          text("1995-01-13")}};
        QTest::newRow("date literal compares with a date column")
            << count(QStringLiteral("Acquired = #9/2/97#")) << Rows{{integer(4)}};
        QTest::newRow("Between dates") << count(QStringLiteral("Acquired Between #3/1/99# And #3/31/99#"))
                                       << Rows{{integer(14)}};
        QTest::newRow("True, Yes, On are -1") << QStringLiteral("select True, Yes, On, False, No, Off")
                                              << Rows{{integer(-1), integer(-1), integer(-1), integer(0), integer(0), integer(0)}};
        QTest::newRow("a comparison's value is -1") << QStringLiteral("select 1 < 2, 2 < 1")
                                                    << Rows{{integer(-1), integer(0)}};
        QTest::newRow("Mod, \\ and ^") << QStringLiteral("select 7 Mod 3, -7 Mod 3, 7.5 \\ 2, 2 ^ 3 ^ 2, -2 ^ 2")
                                       << Rows{{integer(1), integer(-1), integer(4), real(64), real(-4)}};
        QTest::newRow("/ divides exactly") << QStringLiteral("select 7 / 2") << Rows{{real(3.5)}};
        QTest::newRow("Not, And, Or") << QStringLiteral("select Not 1 = 2, 1 = 1 And 2 = 2, 1 = 2 Or 2 = 3")
                                      << Rows{{integer(-1), integer(-1), integer(0)}};
        QTest::newRow("Xor, Eqv, Imp") << QStringLiteral("select True Xor False, True Eqv False, False Imp False, True Imp Null")
                                       << Rows{{integer(-1), integer(0), integer(-1), null}};
        QTest::newRow("Is Null, Is Not Null") << count(QStringLiteral("Comments Is Null And [Asset No] Is Not Null"))
                                              << Rows{{integer(65)}};
        QTest::newRow("In") << count(QStringLiteral("Warranty In (3, 24)")) << Rows{{integer(22)}};
        QTest::newRow("TOP 2 keeps a tie")
            << QStringLiteral("select top 2 [Asset No], Cost") + assets + QStringLiteral("where Make = 'GEO Rocket' order by Cost")
            << Rows{{text("30066"), real(1895.5)}, {text("30067"), real(1895.5)}, {text("30102"), real(1895.5)},
                    {text("30104"), real(1895.5)}, {text("30105"), real(1895.5)}};
        QTest::newRow("TOP without a tie at the cut")
            << QStringLiteral("select top 2 [Asset No] from [Asset Items] order by Cost desc")
            << Rows{{text("30071")}, {text("30110")}};
        QTest::newRow("TOP in a sub-select, with DISTINCT")
            << QStringLiteral("select count(*) from [Asset Items] where Make in (select distinct top 2 Make from "
                              "[Asset Items] order by Make)")
            << Rows{{integer(5)}};
        QTest::newRow("TOP after WITH")
            << QStringLiteral("with cheap as (select * from [Asset Items] where Cost < 300) select top 1 Model from "
                              "cheap order by Cost")
            << Rows{{text("GasRiser")}, {text("GasRiser")}};
        QTest::newRow("TOP n without order is the first n") << QStringLiteral("select top 2 [Asset No]") + assets
                                                            << Rows{{text("30050")}, {text("30051")}};
        QTest::newRow("TOP * ordered descending")
            << QStringLiteral("select top 1 *") + assets + QStringLiteral("order by Cost desc")
            << Rows{{text("30071"), text("General Equipment"), text("Sandly"), text("GF780"), text("Photocopier"),
                     text("Sales"), text("SGF44448-99"), text("1999-03-10"), integer(6799), integer(24), text("A"),
                     text("44523"), null}};
        QTest::newRow("TOP n PERCENT rounds up")
            << QStringLiteral("select top 5 percent [Asset No]") + assets + QStringLiteral("order by [Asset No]")
            << Rows{{text("30050")}, {text("30051")}, {text("30052")}, {text("30053")}};
        QTest::newRow("DISTINCTROW and OWNERACCESS") << QStringLiteral("select distinctrow count(*)") + assets
                                                         + QStringLiteral("with owneraccess option")
                                                     << Rows{{integer(65)}};
        QTest::newRow("parenthesised joins")
            << QStringLiteral("select count(*) from ([Asset Items] a inner join [Asset Items] b on a.[Asset No] = "
                              "b.[Asset No]) inner join [Asset Items] c on c.[Asset No] = b.[Asset No]")
            << Rows{{integer(65)}};
        QTest::newRow("Access 97's [SELECT ...]. AS sub-select")
            << QStringLiteral("select count(*) from [select * from [Asset Items] where Owner = 'sales']. as s")
            << Rows{{integer(25)}};
        QTest::newRow("union ignores letter case")
            << QStringLiteral("select count(*) from (select Owner from [Asset Items] where Owner = 'sales' union "
                              "select 'SALES' from [Asset Items])")
            << Rows{{integer(1)}};
        QTest::newRow("First, Last, StDev, Var")
            << QStringLiteral("select First([Asset No]), Last([Asset No]), StDev(Warranty), VarP(Warranty)") + assets
                   + QStringLiteral("where Make = 'Dennis'")
            << Rows{{text("30073"), text("30076"), real(0), real(0)}};
        QTest::newRow("crosstab with IN")
            << QStringLiteral("transform Count(*) AS CountOfAssets select Owner") + assets
                   + QStringLiteral("where Owner Like 'Ma*' group by Owner pivot Warranty In (3, 12)")
            << Rows{{text("Maintenance"), integer(6), integer(7)}, {text("Management"), integer(0), integer(0)}};
        QTest::newRow("crosstab from the data")
            << QStringLiteral("transform Sum(Cost) select [Asset Category]") + assets
                   + QStringLiteral("where Make = 'Dennis' or Make = 'Brenda' group by [Asset Category] pivot Make")
            << Rows{{text("Computer Hardware"), null, integer(9360)}, {text("General Equipment"), integer(1506), null}};
        // Of Dennis's and Brenda's assets: Maintenance has Brenda's at 350,
        // 350 and 456 and Dennis's at 2340; Sales one of each (350, 2340);
        // Admin & Accounts and Production one of Dennis's each.
        QTest::newRow("crosstab with a row total and IN")
            << QStringLiteral("transform Count(*) select Owner, Sum(Cost) AS Total") + assets
                   + QStringLiteral("where Make = 'Dennis' or Make = 'Brenda' group by Owner pivot Warranty In (12, 3, 24)")
            << Rows{{text("Admin & Accounts"), integer(2340), integer(1), integer(0), integer(0)},
                    {text("Maintenance"), integer(3496), integer(1), integer(3), integer(0)},
                    {text("Production"), integer(2340), integer(1), integer(0), integer(0)},
                    {text("Sales"), integer(2690), integer(1), integer(1), integer(0)}};
        QTest::newRow("crosstab with row totals and a condition on one, from the data")
            << QStringLiteral("transform Sum(Cost) select Owner, Count(*) AS Assets, Avg(Cost) AS AvgCost") + assets
                   + QStringLiteral("where (Make = 'Dennis' or Make = 'Brenda') and Sum(Cost) > 2500 group by Owner "
                                    "pivot Make")
            << Rows{{text("Maintenance"), integer(4), real(874), integer(1156), integer(2340)},
                    {text("Sales"), integer(2), real(1345), integer(350), integer(2340)}};
        QTest::newRow("SQLite syntax keeps working")
            << QStringLiteral("select substr(Model, 1, 3), count(*)") + assets + QStringLiteral("where Make = 'Dennis' group by 1 limit 1")
            << Rows{{text("H44"), integer(4)}};
        QTest::newRow("SQLite's window functions")
            << QStringLiteral("select Owner, rank() over (partition by Owner order by Cost desc) as r") + assets
                   + QStringLiteral("where Make = 'Brenda' order by Owner, r")
            << Rows{{text("Maintenance"), integer(1)}, {text("Maintenance"), integer(2)}, {text("Maintenance"), integer(2)},
                    {text("Sales"), integer(1)}};
        QTest::newRow("Access functions in any case")
            << QStringLiteral("select left('abc', 2), Right('abc', 1), IIF(1 = 1, 'y', 'n')")
            << Rows{{text("ab"), text("c"), text("y")}};
    }

    void meaning()
    {
        QFETCH(QString, sql);
        QFETCH(Rows, expected);
        compareRows(checkedRows(*m_assets, sql), expected);
    }

    // Access's functions with their subtle rules, one call per row.
    void functions_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<FieldValue>("expected");
        const auto row = [](const char *call, const FieldValue &expected) {
            QTest::newRow(call) << QString::fromUtf8(call) << expected;
        };
        row("Round(2.5)", integer(2));
        row("Round(3.5)", integer(4));
        row("Round(-2.5)", integer(-2));
        row("Round(2.345, 2)", real(2.34));
        row("Int(-2.5)", integer(-3));
        row("Fix(-2.5)", integer(-2));
        row("CInt(2.5)", integer(2));
        row("CLng(-1.5)", integer(-2));
        row("CCur(1.23455)", real(1.2346));
        row("CDbl('1.5')", real(1.5));
        row("CStr(1.5)", text("1.5"));
        row("CBool(5)", integer(-1));
        row("CDate('2/1/95')", text("1995-02-01"));
        row("Val(' 1 2 3abc')", integer(123));
        row("Str(5)", text(" 5"));
        row("InStrRev('abcabc', 'b')", integer(5));
        row("Replace('aXbXc', 'X', '-')", text("a-b-c"));
        row("StrComp('a', 'B', 1)", integer(-1));
        row("StrComp('a', 'A')", integer(1));
        row("StrReverse('abc')", text("cba"));
        row("Space(2) & String(3, 'x')", text("  xxx"));
        row("Asc('A') + Len(Chr(66))", integer(66));
        row("IsNull(Null)", integer(-1));
        row("IsNumeric('12')", integer(-1));
        row("IsDate('1/31/95')", integer(-1));
        row("IsDate('abc')", integer(0));
        row("Switch(1 = 2, 'a', 2 = 2, 'b')", text("b"));
        row("Choose(2, 'a', 'b', 'c')", text("b"));
        row("Nz(Null, 0)", integer(0));
        row("Sgn(-3)", integer(-1));
        row("Sqr(16)", real(4));
        row("Log(Exp(1))", real(1));
        row("DateAdd('m', 1, #1/31/2024#)", text("2024-02-29"));
        row("DateAdd('h', 25, #1/1/2024#)", text("2024-01-02 01:00:00"));
        row("DateDiff('yyyy', #12/31/2023#, #1/1/2024#)", integer(1));
        row("DateDiff('d', #1/1/2024#, #3/1/2024#)", integer(60));
        row("DatePart('q', #8/15/2024#)", integer(3));
        row("DatePart('ww', #1/7/2024#)", integer(2));
        row("DateSerial(2024, 14, 0)", text("2025-01-31"));
        row("TimeSerial(10, 30, 0)", text("10:30:00"));
        row("DateValue('2/1/95 10:00')", text("1995-02-01"));
        row("Weekday(#1/7/2024#)", integer(1));
        row("MonthName(2) & MonthName(2, True)", text("FebruaryFeb"));
        row("Format(1234.5, 'Currency')", text("$1,234.50"));
        row("Format(-1234.5, 'Currency')", text("($1,234.50)"));
        row("Format(0.125, 'Percent')", text("12.50%"));
        row("Format(1234.567, '#,##0.00')", text("1,234.57"));
        row("Format(5, '000')", text("005"));
        row("Format(#1/31/1995#, 'yyyy-mm-dd')", text("1995-01-31"));
        row("Format(#1/31/1995#, 'Long Date')", text("Tuesday, January 31, 1995"));
        row("Format(#1/31/1995 14:05#, 'hh:nn AM/PM')", text("02:05 PM"));
        row("Format(#2/1/1995#, 'dd/mm/yyyy')", text("01/02/1995"));
        row("Format('abc', '>')", text("ABC"));
        row("Format(1, 'Yes/No')", text("Yes"));
        row("Format(Acquired, 'mmm d, yyyy')", text("Sep 2, 1997"));
        row("Year(Acquired) + Month(Acquired) + Day(Acquired)", integer(2008));
    }

    void functions()
    {
        QFETCH(QString, call);
        QFETCH(FieldValue, expected);
        compareRows(checkedRows(*m_assets, QStringLiteral("select %1 from [Asset Items] where [Asset No] = '30050'").arg(call)),
                    {{expected}});
    }

    // Yes/No holds -1 and 0 as in Access, so all four spellings find the
    // same row, in statements in Access's syntax and SQLite's alike.
    void yesNo_data()
    {
        QTest::addColumn<QString>("where");
        for (const char *where : {"I = True", "I = Yes", "I = -1", "I <> 0", "I", "not not I"})
            QTest::newRow(where) << QString::fromLatin1(where);
    }

    void yesNo()
    {
        QFETCH(QString, where);
        compareRows(checkedRows(*m_types, QStringLiteral("select A, I from Table1 where ") + where),
                    {{text("abcdefg"), integer(-1)}});
    }

    void refused_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<QString>("named");
        QTest::newRow("another file") << QStringLiteral("select * from Table1 in 'other.mdb'") << QStringLiteral("IN 'other.mdb'");
        QTest::newRow("make-table") << QStringLiteral("select * into T2 from Table1") << QStringLiteral("SELECT ... INTO");
        QTest::newRow("action") << QStringLiteral("delete from Table1") << QStringLiteral("DELETE");
        QTest::newRow("window frame") << QStringLiteral("select sum(C) over (order by C rows 1 preceding) from Table1")
                                      << QStringLiteral("window frame");
        QTest::newRow("unclosed date") << QStringLiteral("select #1/2/95") << QStringLiteral("date");
        QTest::newRow("bad date") << QStringLiteral("select #2/30/95#") << QStringLiteral("#2/30/95#");
        QTest::newRow("unknown function") << QStringLiteral("select NoSuchThing(1)") << QStringLiteral("NoSuchThing");
        // Only a crosstab's criteria may hold a condition on a row total.
        QTest::newRow("aggregate in WHERE") << QStringLiteral("select Type from MSysObjects where Max(Id) > 0 group by Type")
                                            << QStringLiteral("aggregate");
        QTest::newRow("declared parameter without a value")
            << QStringLiteral("parameters [Which] Text; select * from Table1 where A = [Which]") << QStringLiteral("Which");
    }

    void refused()
    {
        QFETCH(QString, sql);
        QFETCH(QString, named);
        const QString message = morvane::test::failureOf([&] { rowsOf(*m_types, sql); });
        QVERIFY2(message.contains(named, Qt::CaseInsensitive), qPrintable(message));
    }

    // The count of a Get runs the translated statement too.
    void countUsesAccessMeaning()
    {
        QCOMPARE(m_assets->countRows(QStringLiteral("select * from [Asset Items] where Model = \"220ZX\"")), 6);
        QCOMPARE(m_assets->countRows(QStringLiteral("select top 2 * from [Asset Items] order by Warranty desc")), 6);
    }

    // Without a database: parameters are reported in order, written as ?n
    // or as their value; a crosstab asks its context for its headings.
    void translatorAlone()
    {
        AccessSqlContext context;
        context.parameterNames = {QStringLiteral("Extra")};
        auto translation = AccessSqlTranslator::translate(
            u"PARAMETERS [Start] DateTime, [Who] Text (255); select * from T where D >= [start] and N = [Who] or X = [extra]",
            context);
        QCOMPARE(translation.parameters.size(), 3);
        QCOMPARE(translation.parameters[0].name, QStringLiteral("Start"));
        QCOMPARE(translation.parameters[0].type, QStringLiteral("DateTime"));
        QCOMPARE(translation.parameters[1].type, QStringLiteral("Text (255)"));
        QCOMPARE(translation.parameters[2].name, QStringLiteral("Extra"));
        QVERIFY2(translation.sql.contains(u"?1") && translation.sql.contains(u"?3"), qPrintable(translation.sql));
        context.parameterValues.insert(QStringLiteral("who"), FieldValue(QStringLiteral("O'Neil")));
        translation = AccessSqlTranslator::translate(u"PARAMETERS [Who] Text; select * from T where N = [Who]", context);
        QVERIFY2(translation.sql.contains(u"'O''Neil'"), qPrintable(translation.sql));

        // A crosstab as Access writes it: the value named, joins nested,
        // every condition in parentheses.
        context.runSelect = [](const QString &) { return AccessSqlRows{{QStringLiteral("pivot")}, {{text("a")}}}; };
        translation = AccessSqlTranslator::translate(
            u"TRANSFORM Count([Table2].[col2]) AS CountOfcol2\r\nSELECT Table2_1.col1, [Table2].[col3], "
            u"Avg(Table2_1.col2) AS AvgOfcol2\r\nFROM (Table1 INNER JOIN Table2 ON [Table1].[col1]=[Table2].[col1]) "
            u"INNER JOIN Table2 AS Table2_1 ON [Table2].[col1]=Table2_1.col3\r\nWHERE ((([Table1].[col1])>\"10\") And "
            u"((Table2_1.col1) Is Not Null))\r\nGROUP BY Table2_1.col1, [Table2].[col3]\r\nORDER BY [Table2].[col3]\r\n"
            u"PIVOT [Table1].[col1];",
            context);
        QVERIFY2(translation.sql.contains(u"AS \"a\"") && translation.sql.contains(u"INNER JOIN \"Table2\" AS \"Table2_1\""),
                 qPrintable(translation.sql));

        QStringList asked;
        context.runSelect = [&](const QString &sql) {
            asked << sql;
            return AccessSqlRows{{QStringLiteral("pivot")}, {{text("b")}, {null}}};
        };
        translation = AccessSqlTranslator::translate(u"transform sum(x) select k from T group by k pivot p", context);
        QCOMPARE(asked.size(), 1);
        QVERIFY2(translation.sql.contains(u"AS \"b\"") && translation.sql.contains(u"AS \"<>\""), qPrintable(translation.sql));
    }

private:
    std::optional<morvane::test::IsolatedUserFolders> m_folders;
    std::unique_ptr<Database> m_assets;
    std::unique_ptr<Database> m_types;
};

QTEST_GUILESS_MAIN(tst_AccessSql)
#include "tst_accesssql.moc"
