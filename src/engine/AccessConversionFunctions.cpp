#include "AccessConversionFunctions.h"

#include "AccessMathFunctions.h"
#include "AccessValue.h"

#include <sqlite3.h>

#include <cmath>
#include <limits>

namespace morvane {

namespace {

using V = AccessValue;

// A number as Access writes it: at most 15 significant digits, no
// trailing zeros, an exponent only for very large or small numbers.
QString textOfNumber(double value)
{
    QString text = QString::number(value, 'g', 15);
    text.replace(QStringLiteral("e+"), QStringLiteral("E+")).replace(u'e', u'E');
    return text;
}

void cstr(sqlite3_context *context, int, sqlite3_value **argv)
{
    switch (sqlite3_value_type(argv[0])) {
    case SQLITE_NULL:
        V::fail(context, V::invalidNull, "CStr");
        return;
    case SQLITE_FLOAT:
        V::resultText(context, textOfNumber(sqlite3_value_double(argv[0])));
        return;
    default:
        V::resultText(context, V::textOf(argv[0]));
    }
}

// A number for a conversion: Null and non-numbers fail the call.
std::optional<double> convertible(sqlite3_context *context, sqlite3_value *value, const char *function)
{
    if (V::isNull(value)) {
        V::fail(context, V::invalidNull, function);
        return std::nullopt;
    }
    std::optional<double> number = V::numberOf(value);
    if (!number && sqlite3_value_type(value) == SQLITE_TEXT) {
        const QString text = V::textOf(value).trimmed();
        if (text.compare(u"true", Qt::CaseInsensitive) == 0)
            number = -1;
        else if (text.compare(u"false", Qt::CaseInsensitive) == 0)
            number = 0;
    }
    if (!number)
        V::fail(context, V::typeMismatch, function);
    return number;
}

template<qint64 Least, qint64 Most>
void wholeConversion(sqlite3_context *context, int, sqlite3_value **argv)
{
    const char *name = Most == std::numeric_limits<qint16>::max() ? "CInt" : "CLng";
    const std::optional<double> number = convertible(context, argv[0], name);
    if (!number)
        return;
    const double rounded = AccessMathFunctions::roundHalfEven(*number);
    if (rounded < double(Least) || rounded > double(Most)) {
        V::fail(context, V::overflow, name);
        return;
    }
    sqlite3_result_int64(context, sqlite3_int64(rounded));
}

void cdbl(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (const std::optional<double> number = convertible(context, argv[0], "CDbl"))
        sqlite3_result_double(context, *number);
}

// Currency: four decimals, a half to even; whole amounts stay whole.
void ccur(sqlite3_context *context, int, sqlite3_value **argv)
{
    const std::optional<double> number = convertible(context, argv[0], "CCur");
    if (!number)
        return;
    const double rounded = AccessMathFunctions::roundHalfEven(*number, 4);
    if (std::fabs(rounded) > 922337203685477.0) {
        V::fail(context, V::overflow, "CCur");
        return;
    }
    V::resultNumber(context, rounded);
}

void cdate(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (V::isNull(argv[0])) {
        V::fail(context, V::invalidNull, "CDate");
        return;
    }
    const std::optional<V::DateTime> moment = V::dateOf(argv[0]);
    if (!moment)
        V::fail(context, V::typeMismatch, "CDate");
    else
        V::resultText(context, V::textOfDate(*moment));
}

void cbool(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (const std::optional<double> number = convertible(context, argv[0], "CBool"))
        V::resultBoolean(context, *number != 0);
}

// Val reads the number a text begins with, spaces anywhere ignored:
// Val(" 1 2 3 abc") is 123, Val("&H1F") 31; 0 when there is none.
void val(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (V::isNull(argv[0])) {
        V::fail(context, V::invalidNull, "Val");
        return;
    }
    if (sqlite3_value_type(argv[0]) == SQLITE_INTEGER || sqlite3_value_type(argv[0]) == SQLITE_FLOAT) {
        sqlite3_result_value(context, argv[0]);
        return;
    }
    QString compact = V::textOf(argv[0]);
    compact.remove(u' ').remove(u'\t').remove(u'\n').remove(u'\r');
    if (compact.startsWith(u"&H", Qt::CaseInsensitive) || compact.startsWith(u"&O", Qt::CaseInsensitive)) {
        const int base = compact[1].toUpper() == u'H' ? 16 : 8;
        const QStringView digitsOfBase = base == 16 ? QStringView(u"0123456789abcdefABCDEF") : QStringView(u"01234567");
        qsizetype end = 2;
        while (end < compact.size() && digitsOfBase.contains(compact[end]))
            ++end;
        bool ok = false;
        const qint64 number = QStringView(compact).sliced(2, end - 2).toLongLong(&ok, base);
        sqlite3_result_int64(context, ok ? number : 0);
        return;
    }
    qsizetype end = 0;
    if (end < compact.size() && (compact[end] == u'-' || compact[end] == u'+'))
        ++end;
    const qsizetype digits = end;
    while (end < compact.size() && (compact[end].isDigit() || compact[end] == u'.'))
        ++end;
    if (end < compact.size() && (compact[end] == u'e' || compact[end] == u'E' || compact[end] == u'd' || compact[end] == u'D')) {
        qsizetype exponent = end + 1;
        if (exponent < compact.size() && (compact[exponent] == u'-' || compact[exponent] == u'+'))
            ++exponent;
        if (exponent < compact.size() && compact[exponent].isDigit()) {
            while (exponent < compact.size() && compact[exponent].isDigit())
                ++exponent;
            compact[end] = u'e';
            end = exponent;
        }
    }
    bool ok = false;
    double number = end > digits ? compact.left(end).toDouble(&ok) : 0;
    if (!ok) {
        // "1.2.3" reads as 1.2: the part before a second point.
        const qsizetype second = compact.indexOf(u'.', compact.indexOf(u'.') + 1);
        number = second > 0 ? compact.left(second).toDouble(&ok) : 0;
    }
    V::resultNumber(context, number);
}

// Str keeps a place for the sign: Str(5) is " 5".
void str(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (V::isNull(argv[0])) {
        V::fail(context, V::invalidNull, "Str");
        return;
    }
    const std::optional<double> number = V::numberOf(argv[0]);
    if (!number) {
        V::fail(context, V::typeMismatch, "Str");
        return;
    }
    const QString text = sqlite3_value_type(argv[0]) == SQLITE_INTEGER ? QString::number(sqlite3_value_int64(argv[0]))
                                                                       : textOfNumber(*number);
    V::resultText(context, *number >= 0 ? u' ' + text : text);
}

void isNull(sqlite3_context *context, int, sqlite3_value **argv)
{
    V::resultBoolean(context, V::isNull(argv[0]));
}

void isNumeric(sqlite3_context *context, int, sqlite3_value **argv)
{
    V::resultBoolean(context, !V::isNull(argv[0]) && V::numberOf(argv[0]).has_value());
}

// Numbers are not dates to IsDate, texts that read as dates are.
void isDate(sqlite3_context *context, int, sqlite3_value **argv)
{
    V::resultBoolean(context, sqlite3_value_type(argv[0]) == SQLITE_TEXT && V::fromText(V::textOf(argv[0])).has_value());
}

// A condition as IIf and Switch read it: any number but 0 is true, Null
// is false, "True" and "False" are read, other texts do not do.
std::optional<bool> truthOf(sqlite3_value *value)
{
    switch (sqlite3_value_numeric_type(value)) {
    case SQLITE_NULL:
        return false;
    case SQLITE_INTEGER:
        return sqlite3_value_int64(value) != 0;
    case SQLITE_FLOAT:
        return sqlite3_value_double(value) != 0.0;
    case SQLITE_TEXT: {
        const QString text = V::textOf(value).trimmed();
        if (text.compare(u"true", Qt::CaseInsensitive) == 0)
            return true;
        if (text.compare(u"false", Qt::CaseInsensitive) == 0)
            return false;
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

void iif(sqlite3_context *context, int, sqlite3_value **argv)
{
    const std::optional<bool> condition = truthOf(argv[0]);
    if (!condition)
        V::fail(context, V::typeMismatch, "IIf");
    else
        sqlite3_result_value(context, argv[*condition ? 1 : 2]);
}

// In a query Access gives the empty text for Null when no replacement is named.
void nz(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    if (!V::isNull(argv[0]))
        sqlite3_result_value(context, argv[0]);
    else if (argc > 1)
        sqlite3_result_value(context, argv[1]);
    else
        sqlite3_result_text(context, "", 0, SQLITE_STATIC);
}

// Switch(condition, value, ...): the value of the first true condition,
// Null when none is.
void switchOf(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    if (argc % 2 != 0) {
        V::fail(context, V::invalidCall, "Switch");
        return;
    }
    for (int i = 0; i < argc; i += 2) {
        const std::optional<bool> condition = truthOf(argv[i]);
        if (!condition) {
            V::fail(context, V::typeMismatch, "Switch");
            return;
        }
        if (*condition) {
            sqlite3_result_value(context, argv[i + 1]);
            return;
        }
    }
    sqlite3_result_null(context);
}

// Choose(index, value1, value2, ...): Null when index is out of range.
void choose(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    if (argc < 2) {
        V::fail(context, V::invalidCall, "Choose");
        return;
    }
    const std::optional<double> index = V::isNull(argv[0]) ? std::nullopt : V::numberOf(argv[0]);
    if (!index) {
        V::fail(context, V::isNull(argv[0]) ? V::invalidNull : V::typeMismatch, "Choose");
        return;
    }
    const double whole = std::trunc(*index);
    if (whole < 1 || whole > argc - 1)
        sqlite3_result_null(context);
    else
        sqlite3_result_value(context, argv[int(whole)]);
}

const AccessValue::Function functions[] = {
    {"CStr", 1, cstr},
    {"CInt", 1, wholeConversion<std::numeric_limits<qint16>::min(), std::numeric_limits<qint16>::max()>},
    {"CLng", 1, wholeConversion<std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max()>},
    {"CDbl", 1, cdbl},
    {"CCur", 1, ccur},
    {"CDate", 1, cdate},
    {"CBool", 1, cbool},
    {"Val", 1, val},
    {"Str", 1, str},
    {"IsNull", 1, isNull},
    {"IsNumeric", 1, isNumeric},
    {"IsDate", 1, isDate},
    {"IIf", 3, iif},
    {"Nz", 1, nz},
    {"Nz", 2, nz},
    {"Switch", -1, switchOf},
    {"Choose", -1, choose},
};

} // namespace

void AccessConversionFunctions::install(sqlite3 *db)
{
    AccessValue::install(db, functions, std::size(functions));
}

} // namespace morvane
