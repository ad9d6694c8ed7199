#include "Outline.h"

#include <QtTest>

using morvane::Outline;
using morvane::OutlineItem;
using morvane::ParseOutline;

namespace {

// Bold items are shown wrapped in <b></b>, so that a failing comparison shows
// text and boldness together.
QString Bold(const QString &text)
{
    return QStringLiteral("<b>") + text + QStringLiteral("</b>");
}

QStringList Rendered(const QList<OutlineItem> &items)
{
    QStringList lines;
    for (const OutlineItem &item : items)
        lines.append(item.bold ? Bold(item.text) : item.text);
    return lines;
}

const QString Fields = Bold(QStringLiteral("Fields"));
const QString Tables = Bold(QStringLiteral("Tables"));

} // namespace

class tst_outline : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::addColumn<QStringList>("items");
        // The three typical results.
        QTest::newRow("qualified field, aliased count, where after the last table") << "SELECT a.x, Count(b) AS n FROM t1, t2 WHERE a.id = t2.id" << QStringList{Fields, "x", "n", Tables, "t1", "t2"};
        QTest::newRow("comma of an in-list starts another table") << "select * from orders o where o.id in (1, 2) order by o.id" << QStringList{Fields, "*", Tables, "orders", "2)"};
        QTest::newRow("count without alias gives an empty field") << "select count(*) from t" << QStringList{Fields, "", Tables, "t"};

        // Texts that are not taken for a select statement.
        QTest::newRow("update statement") << "update t set a = 1" << QStringList{};
        QTest::newRow("empty text") << "" << QStringList{};
        QTest::newRow("select glued to the next word") << "selectx from t" << QStringList{};
        QTest::newRow("two leading spaces") << "  select a from t" << QStringList{};
        QTest::newRow("tab after select") << "select\ta from t" << QStringList{};
        QTest::newRow("line break after select") << "select\na from t" << QStringList{};
        QTest::newRow("too short to be select") << "selec" << QStringList{};

        // Where the statement starts.
        QTest::newRow("capitals are found") << "SELECT A FROM T" << QStringList{Fields, "a", Tables, "t"};
        QTest::newRow("select alone") << "select" << QStringList{Fields, Tables, ""};
        QTest::newRow("select and a space") << "select " << QStringList{Fields, Tables, ""};
        QTest::newRow("one leading space") << " select a from t" << QStringList{Fields, "a", Tables, "t"};
        QTest::newRow("several spaces after select") << "select    a from t" << QStringList{Fields, "a", Tables, "t"};

        // Where the field list ends.
        QTest::newRow("line break before from") << "select a\nfrom t" << QStringList{Fields, "a\nfrom t", Tables, ""};
        QTest::newRow("nothing after from") << "select a from" << QStringList{Fields, "a", Tables, ""};
        QTest::newRow("column name starting with from ends the list") << "select a, fromdate from t" << QStringList{Fields, "a", Tables, "t"};
        QTest::newRow("trailing comma before from") << "select a, from t" << QStringList{Fields, "a", Tables, "t"};

        // Field names.
        QTest::newRow("spaces around commas are trimmed") << "select  a ,  b  from t" << QStringList{Fields, "a", "b", Tables, "t"};
        QTest::newRow("empty field between commas") << "select a,,b from t" << QStringList{Fields, "a", "", "b", Tables, "t"};
        QTest::newRow("alias and qualified field") << "select name as n, t.city from people p" << QStringList{Fields, "n", "city", Tables, "people"};
        QTest::newRow("alias after parenthesis keeps its trailing space") << "select count(*) as n , x from t" << QStringList{Fields, "n ", "x", Tables, "t"};
        QTest::newRow("alias after parenthesis keeps the spaces before from") << "select count(x) as n   from t" << QStringList{Fields, "n  ", Tables, "t"};
        QTest::newRow("parenthesis takes a later field's alias") << "select count(x), a.b as c, d from t" << QStringList{Fields, "c", "d", Tables, "t"};
        QTest::newRow("commas inside parentheses are passed over") << "select coalesce(a, b, c) as v, w from t" << QStringList{Fields, "v", "w", Tables, "t"};
        QTest::newRow("parenthesis without any later alias ends the fields") << "select a, f(x), b from t" << QStringList{Fields, "a", "", Tables, "t"};
        QTest::newRow("parenthesis alias with a dot") << "select max(x) as t.m from t" << QStringList{Fields, "m", Tables, "t"};
        QTest::newRow("two dots keep what follows the first") << "select a.b.c from t" << QStringList{Fields, "b.c", Tables, "t"};
        QTest::newRow("dot in the alias") << "select x as t.y from t" << QStringList{Fields, "y", Tables, "t"};
        QTest::newRow("only the first as counts") << "select a as b as c from t" << QStringList{Fields, "b as c", Tables, "t"};
        QTest::newRow("upper-case AS is found") << "select Name AS N from t" << QStringList{Fields, "n", Tables, "t"};
        QTest::newRow("as without spaces is part of the name") << "select a.alias from t" << QStringList{Fields, "alias", Tables, "t"};
        QTest::newRow("letters beyond A to Z are lower-cased") << QStringLiteral("SELECT ÞÓR.NAFN, Ævi AS ÉG FROM FÓLK") << QStringList{Fields, QStringLiteral("nafn"), QStringLiteral("ég"), Tables, QStringLiteral("fólk")};

        // Tables.
        QTest::newRow("alias and join dropped up to the next comma") << "select a from t1 x join t2 on x.id = t2.id, t3" << QStringList{Fields, "a", Tables, "t1", "t3"};
        QTest::newRow("tables without spaces after the commas") << "select a from t1,t2 ,t3" << QStringList{Fields, "a", Tables, "t1", "t2", "t3"};
        QTest::newRow("where right after from gives no table") << "select a from where b = 1" << QStringList{Fields, "a", Tables};
        QTest::newRow("where after a comma stops the tables") << "select a from t, where b = 1, 2" << QStringList{Fields, "a", Tables, "t"};
        QTest::newRow("where after a table name does not stop the tables") << "select a from t where b in (1, 2)" << QStringList{Fields, "a", Tables, "t", "2)"};
        QTest::newRow("whereabouts is a table") << "select a from whereabouts" << QStringList{Fields, "a", Tables, "whereabouts"};
        QTest::newRow("tab inside a table piece") << "select a from t\tx, u" << QStringList{Fields, "a", Tables, "t\tx", "u"};
        QTest::newRow("comma ending the statement") << "select a from t," << QStringList{Fields, "a", Tables, "t"};
    }

    void parse()
    {
        QFETCH(QString, statement);
        QFETCH(QStringList, items);
        const Outline outline = ParseOutline(statement);
        QCOMPARE(Rendered(outline.items), items);
        // The fields are the items under the Fields header.
        const qsizetype tables = items.indexOf(::Tables);
        QCOMPARE(outline.fields, tables < 0 ? QStringList() : items.mid(1, tables - 1));
    }

    void largeStatement_data()
    {
        QTest::addColumn<QString>("statement");
        QTest::addColumn<qsizetype>("fieldCount");
        QTest::addColumn<QString>("lastField");
        QTest::addColumn<qsizetype>("tableCount");
        QTest::addColumn<QString>("lastTable");
        // About a megabyte each, mostly commas: the shape a pasted data dump has.
        constexpr qsizetype Fields = 200000;
        constexpr qsizetype Tables = 100000;
        QTest::newRow("spaced fields and tables") << "select " + QStringLiteral("a, ").repeated(Fields) + "z from " + QStringLiteral("t, ").repeated(Tables) + "u" << Fields + 1 << "z" << Tables + 1 << "u";
        QTest::newRow("no spaces after the commas") << "select " + QStringLiteral("a,").repeated(Fields) + "z from " + QStringLiteral("t,").repeated(Tables) + "u" << Fields + 1 << "z" << Tables + 1 << "u";
        QTest::newRow("computed fields with aliases") << "select " + QStringLiteral("f(x, y) as a, ").repeated(Fields / 4) + "z from t" << Fields / 4 + 1 << "z" << qsizetype(1) << "t";
        QTest::newRow("spaces before from") << "select a" + QString(1000000, u' ') + "from t" << qsizetype(1) << "a" << qsizetype(1) << "t";
    }

    void largeStatement()
    {
        QFETCH(QString, statement);
        QFETCH(qsizetype, fieldCount);
        QFETCH(QString, lastField);
        QFETCH(qsizetype, tableCount);
        QFETCH(QString, lastTable);
        const Outline outline = ParseOutline(statement);
        QCOMPARE(outline.fields.size(), fieldCount);
        QCOMPARE(outline.fields.constLast(), lastField);
        // Both headers, each field and each table.
        QCOMPARE(outline.items.size(), 2 + fieldCount + tableCount);
        QCOMPARE(outline.items.constLast().text, lastTable);
    }
};

QTEST_MAIN(tst_outline)
#include "tst_outline.moc"
