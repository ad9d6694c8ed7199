// Every value of every Access fixture, compared with a dump written once from
// an independent reading of the file (tests/data/jet/expected, see the README
// there): a wrong or missing value in any column kind shows up as a changed
// line.

#include "JetDatabase.h"
#include "TestSupport.h"

#include <charconv>

using morvane::Database;
using morvane::DatabaseEngine;
using morvane::Failure;
using morvane::FieldValue;
using morvane::JetDatabase;

namespace {

QString quotedText(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\')
            out += u'\\' + QString(c);
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else
            out += c;
    }
    return out + u'"';
}

// Integers bare, reals in their shortest exact form with a point or an
// exponent, texts quoted, bytes in hex: the kind of a value shows as well as
// the value.
QString dumpValue(const FieldValue &value)
{
    switch (value.type()) {
    case FieldValue::Type::Null:
        return QStringLiteral("NULL");
    case FieldValue::Type::Integer:
        return QString::number(value.integer());
    case FieldValue::Type::Real: {
        char buffer[64];
        const auto printed = std::to_chars(buffer, buffer + sizeof buffer, value.real());
        QString text = QString::fromLatin1(buffer, printed.ptr - buffer);
        if (!text.contains(u'.') && !text.contains(u'e') && !text.contains(u'n'))
            text += QStringLiteral(".0");
        return text;
    }
    case FieldValue::Type::Text:
        return quotedText(value.text());
    case FieldValue::Type::Binary:
        return QStringLiteral("x'") + QString::fromLatin1(value.binary().toHex()) + u'\'';
    }
    return {};
}

// The user tables only: the system tables and the list of saved queries are
// checked by tst_jet_queries.
QString dumpDatabase(Database &database)
{
    QStringList tables;
    auto list = database.openRecordset(QStringLiteral("select name from sqlite_master where type = 'table' and name not like 'MSys%' and name <> '%1' order by rowid").arg(JetDatabase::queryListName()));
    for (; !list->eof(); list->moveNext())
        tables << list->value(0).text();
    list.reset();
    QString out;
    for (const QString &table : tables) {
        auto rows = database.openRecordset(QStringLiteral("select * from \"%1\"").arg(table));
        out += QStringLiteral("table %1\n").arg(table);
        QStringList names;
        for (int i = 0; i < rows->fieldCount(); ++i)
            names << rows->fieldName(i);
        out += QStringLiteral("columns ") + names.join(QStringLiteral(" | ")) + u'\n';
        for (; !rows->eof(); rows->moveNext()) {
            QStringList values;
            for (int i = 0; i < rows->fieldCount(); ++i)
                values << dumpValue(rows->value(i));
            out += QStringLiteral("row ") + values.join(QStringLiteral(" | ")) + u'\n';
        }
    }
    return out;
}

} // namespace

class tst_jet_values : public QObject
{
    Q_OBJECT

private slots:
    void everyValue_data()
    {
        QTest::addColumn<QString>("fixture");
        const QDir expected(QStringLiteral(MORVANE_TEST_DATA "/jet/expected"));
        const QStringList dumps = expected.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
        QVERIFY(dumps.size() >= 20);
        for (const QString &dump : dumps) {
            const QString fixture = dump.chopped(4);
            QTest::newRow(fixture.toUtf8().constData()) << fixture;
        }
    }

    void everyValue()
    {
        QFETCH(QString, fixture);
        const QString expected = QString::fromUtf8(
            morvane::test::readFile(QStringLiteral(MORVANE_TEST_DATA "/jet/expected/") + fixture + QStringLiteral(".txt")));
        QVERIFY(!expected.isEmpty());
        QString actual;
        try {
            const auto database = DatabaseEngine::openDatabase(QStringLiteral(MORVANE_TEST_DATA "/jet/") + fixture);
            actual = dumpDatabase(*database);
        } catch (const Failure &failure) {
            QFAIL(qPrintable(failure.description()));
        }
        if (actual != expected) {
            // Left beside the test program, to be compared line by line.
            morvane::test::writeFile(QDir::current().filePath(fixture + QStringLiteral(".actual.txt")), actual.toUtf8());
            const QStringList actualLines = actual.split(u'\n');
            const QStringList expectedLines = expected.split(u'\n');
            for (qsizetype i = 0; i < std::max(actualLines.size(), expectedLines.size()); ++i)
                QCOMPARE(actualLines.value(i), expectedLines.value(i));
        }
        QCOMPARE(actual, expected);
    }
};

QTEST_GUILESS_MAIN(tst_jet_values)
#include "tst_jet_values.moc"
