#include "mdlMain.h"

#include <QLocale>
#include <QtTest>

using morvane::FieldText;
using morvane::FieldValue;

Q_DECLARE_METATYPE(morvane::FieldValue)

class tst_helpers : public QObject
{
    Q_OBJECT

private slots:
    // The expected texts assume a decimal point, whatever the machine's own
    // locale is; tests that switch the locale must not leak it either.
    void init() { QLocale::setDefault(QLocale::c()); }

    void textBeforeAndAfter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("delimiter");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("cut at the first of several") << "a,b,c" << "," << "a" << "b,c";
        QTest::newRow("delimiter missing") << "abc" << "," << "abc" << "";
        QTest::newRow("delimiter ends the text") << "abc," << "," << "abc" << "";
        QTest::newRow("delimiter starts the text") << ",abc" << "," << "" << "abc";
        QTest::newRow("only the first long delimiter counts") << "a as b as c" << " as " << "a" << "b as c";
        QTest::newRow("case differs, so not found") << "x FROM t" << " from" << "x FROM t" << "";
        QTest::newRow("empty text") << "" << "," << "" << "";
        QTest::newRow("delimiter is the whole text") << " from" << " from" << "" << "";
        QTest::newRow("partial delimiter is not a match") << "a fro b" << " from" << "a fro b" << "";
        QTest::newRow("overlapping candidates") << "x as as y" << " as " << "x" << "as y";
    }

    void textBeforeAndAfter()
    {
        QFETCH(QString, text);
        QFETCH(QString, delimiter);
        QFETCH(QString, before);
        QFETCH(QString, after);
        QCOMPARE(morvane::TextBefore(text, delimiter).toString(), before);
        QCOMPARE(morvane::TextAfter(text, delimiter).toString(), after);
    }

    void cutsAreViewsIntoTheText()
    {
        // The outline relies on cutting without copying.
        const QString text = QStringLiteral("left,right");
        const QStringView before = morvane::TextBefore(text, u",");
        const QStringView after = morvane::TextAfter(text, u",");
        const QStringView trimmed = morvane::TrimSpaces(after);
        QCOMPARE(before.data(), text.constData());
        QCOMPARE(after.data(), text.constData() + 5);
        QCOMPARE(trimmed.data(), text.constData() + 5);
    }

    void trimSpaces_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("trimmed");
        QTest::newRow("empty") << "" << "";
        QTest::newRow("nothing to trim") << "a b" << "a b";
        QTest::newRow("both ends, inner space kept") << "  a b  " << "a b";
        QTest::newRow("only spaces") << "    " << "";
        QTest::newRow("tab stays") << "\ta\t" << "\ta\t";
        QTest::newRow("line break stays") << " \na\n " << "\na\n";
        QTest::newRow("no-break space stays") << QString(QChar(0xA0)) + "a " << QString(QChar(0xA0)) + "a";
    }

    void trimSpaces()
    {
        QFETCH(QString, text);
        QFETCH(QString, trimmed);
        QCOMPARE(morvane::TrimSpaces(text).toString(), trimmed);
    }

    // Singular where the last digit is 1 and the last two are not 11, for
    // positive counts in 16 bits; the rest plural.
    void isPlural()
    {
        for (const int singular : {1, 21, 101, 1001, 32761})
            QVERIFY2(!morvane::IsPlural(qint16(singular)), qPrintable(QString::number(singular)));
        for (const int plural : {0, 2, 11, 111, 211, 1000, -1, -11, -21, 32767, -32768})
            QVERIFY2(morvane::IsPlural(qint16(plural)), qPrintable(QString::number(plural)));
    }

    void fieldText_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<QString>("text");
        QByteArray sixtyFour(64, '\0');
        for (int i = 0; i < sixtyFour.size(); ++i)
            sixtyFour[i] = char(i * 4);
        const QString sixtyFourHex = "0x" + QString::fromLatin1(sixtyFour.toHex().toUpper());
        QTest::newRow("null") << FieldValue() << "Null";
        QTest::newRow("empty text is not null") << FieldValue(QString()) << "";
        QTest::newRow("text unchanged, spaces kept") << FieldValue(QStringLiteral(" Þór ")) << " Þór ";
        QTest::newRow("text that reads Null") << FieldValue(QStringLiteral("Null")) << "Null";
        QTest::newRow("integer zero") << FieldValue(qint64(0)) << "0";
        QTest::newRow("integer without group separators") << FieldValue(qint64(1234567)) << "1234567";
        QTest::newRow("negative integer") << FieldValue(qint64(-42)) << "-42";
        QTest::newRow("largest integer") << FieldValue(std::numeric_limits<qint64>::max()) << "9223372036854775807";
        QTest::newRow("real with a fraction") << FieldValue(2.5) << "2.5";
        QTest::newRow("whole real") << FieldValue(3.0) << "3";
        QTest::newRow("negative real") << FieldValue(-0.75) << "-0.75";
        QTest::newRow("rounding noise hidden") << FieldValue(0.1 + 0.2) << "0.3";
        QTest::newRow("15 significant digits kept") << FieldValue(123456789.012345) << "123456789.012345";
        QTest::newRow("16th digit rounded") << FieldValue(1.0 / 3.0) << "0.333333333333333";
        QTest::newRow("large real in exponent form") << FieldValue(1e20) << "1e+20";
        QTest::newRow("large real without group separators") << FieldValue(1234567.5) << "1234567.5";
        QTest::newRow("empty binary") << FieldValue(QByteArray()) << "0x";
        QTest::newRow("binary in upper-case hex") << FieldValue(QByteArray::fromHex("00ff1a")) << "0x00FF1A";
        QTest::newRow("64 bytes shown whole") << FieldValue(sixtyFour) << sixtyFourHex;
        QTest::newRow("longer binary cut with its size") << FieldValue(sixtyFour + QByteArray(1000, 'x')) << sixtyFourHex + "... (1064 bytes)";
    }

    void fieldText()
    {
        QFETCH(FieldValue, value);
        QFETCH(QString, text);
        QCOMPARE(FieldText(value), text);
    }

    void realFieldTextUsesTheLocaleSeparator_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        const QLocale german(QLocale::German, QLocale::Germany);
        const QLocale english(QLocale::English, QLocale::UnitedStates);
        QTest::newRow("German decimal comma") << german << 2.5 << "2,5";
        QTest::newRow("German, no group separator") << german << 1234567.25 << "1234567,25";
        QTest::newRow("German, 15 digits") << german << 0.1 + 0.2 << "0,3";
        QTest::newRow("US decimal point") << english << 0.1 << "0.1";
        QTest::newRow("US, no group separator") << english << 1234567.25 << "1234567.25";
    }

    void realFieldTextUsesTheLocaleSeparator()
    {
        QFETCH(QLocale, locale);
        QFETCH(double, value);
        QFETCH(QString, text);
        QLocale::setDefault(locale);
        QCOMPARE(FieldText(FieldValue(value)), text);
        // Integers never take the locale's grouping.
        QCOMPARE(FieldText(FieldValue(qint64(1234567))), QStringLiteral("1234567"));
    }
};

QTEST_MAIN(tst_helpers)
#include "tst_helpers.moc"
