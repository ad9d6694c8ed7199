#include "AccessFunctions.h"

#include "Failure.h"
#include "AccessAggregates.h"
#include "AccessOperators.h"
#include "AccessTextCollation.h"

#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QString>
#include <QTime>

#include <sqlite3.h>

#include <cmath>
#include <optional>

namespace morvane {

namespace {

constexpr char invalidCall[] = "Invalid procedure call or argument";
constexpr char typeMismatch[] = "Type mismatch";
constexpr char invalidNull[] = "Invalid use of Null";

void fail(sqlite3_context *context, const char *what, const char *function)
{
    const QByteArray message = QByteArray(what) + " in " + function + "()";
    sqlite3_result_error(context, message.constData(), int(message.size()));
}

bool isNull(sqlite3_value *value)
{
    return sqlite3_value_type(value) == SQLITE_NULL;
}

QString textOf(sqlite3_value *value)
{
    const void *text = sqlite3_value_text16(value);
    const int bytes = sqlite3_value_bytes16(value);
    return text ? QString(static_cast<const QChar *>(text), bytes / int(sizeof(QChar))) : QString();
}

void resultText(sqlite3_context *context, const QString &text)
{
    sqlite3_result_text16(context, text.utf16(), int(text.size() * sizeof(QChar)), SQLITE_TRANSIENT);
}

// A whole number argument as Access converts it: numbers round half to even,
// texts must look like numbers.
std::optional<qint64> wholeOf(sqlite3_value *value)
{
    switch (sqlite3_value_numeric_type(value)) {
    case SQLITE_INTEGER:
        return sqlite3_value_int64(value);
    case SQLITE_FLOAT: {
        const double number = std::nearbyint(sqlite3_value_double(value));
        if (!std::isfinite(number) || std::fabs(number) > 9.0e18)
            return std::nullopt;
        return qint64(number);
    }
    default:
        return std::nullopt;
    }
}

// Reads a count or position argument; reports what is wrong and gives
// nothing when it is unusable. A position must be at least 1.
std::optional<qint64> countArgument(sqlite3_context *context, sqlite3_value *value, qint64 least,
                                    const char *function)
{
    if (isNull(value)) {
        fail(context, invalidNull, function);
        return std::nullopt;
    }
    const std::optional<qint64> number = wholeOf(value);
    if (!number) {
        fail(context, typeMismatch, function);
        return std::nullopt;
    }
    if (*number < least) {
        fail(context, invalidCall, function);
        return std::nullopt;
    }
    return number;
}

void iif(sqlite3_context *context, int, sqlite3_value **argv)
{
    bool condition = false;
    switch (sqlite3_value_numeric_type(argv[0])) {
    case SQLITE_NULL:
        break;
    case SQLITE_INTEGER:
        condition = sqlite3_value_int64(argv[0]) != 0;
        break;
    case SQLITE_FLOAT:
        condition = sqlite3_value_double(argv[0]) != 0.0;
        break;
    case SQLITE_TEXT: {
        const QString text = textOf(argv[0]).trimmed();
        if (text.compare(u"true", Qt::CaseInsensitive) == 0) {
            condition = true;
        } else if (text.compare(u"false", Qt::CaseInsensitive) != 0) {
            fail(context, typeMismatch, "IIf");
            return;
        }
        break;
    }
    default:
        fail(context, typeMismatch, "IIf");
        return;
    }
    sqlite3_result_value(context, argv[condition ? 1 : 2]);
}

// In a query Access gives the empty text for Null when no replacement is named.
void nz(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    if (!isNull(argv[0]))
        sqlite3_result_value(context, argv[0]);
    else if (argc > 1)
        sqlite3_result_value(context, argv[1]);
    else
        sqlite3_result_text(context, "", 0, SQLITE_STATIC);
}

void len(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (isNull(argv[0]))
        sqlite3_result_null(context);
    else
        sqlite3_result_int64(context, textOf(argv[0]).size());
}

void left(sqlite3_context *context, int, sqlite3_value **argv)
{
    const std::optional<qint64> count = countArgument(context, argv[1], 0, "Left");
    if (!count)
        return;
    if (isNull(argv[0]))
        sqlite3_result_null(context);
    else
        resultText(context, textOf(argv[0]).left(qsizetype(std::min<qint64>(*count, INT32_MAX))));
}

void right(sqlite3_context *context, int, sqlite3_value **argv)
{
    const std::optional<qint64> count = countArgument(context, argv[1], 0, "Right");
    if (!count)
        return;
    if (isNull(argv[0]))
        sqlite3_result_null(context);
    else
        resultText(context, textOf(argv[0]).right(qsizetype(std::min<qint64>(*count, INT32_MAX))));
}

void mid(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    const std::optional<qint64> start = countArgument(context, argv[1], 1, "Mid");
    if (!start)
        return;
    qint64 length = -1;
    if (argc > 2) {
        const std::optional<qint64> given = countArgument(context, argv[2], 0, "Mid");
        if (!given)
            return;
        length = *given;
    }
    if (isNull(argv[0])) {
        sqlite3_result_null(context);
        return;
    }
    const QString text = textOf(argv[0]);
    if (*start > text.size()) {
        sqlite3_result_text(context, "", 0, SQLITE_STATIC);
        return;
    }
    const qsizetype from = qsizetype(*start - 1);
    const qsizetype count = length < 0 ? -1 : qsizetype(std::min<qint64>(length, text.size() - from));
    resultText(context, text.mid(from, count));
}

void ucase(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (isNull(argv[0]))
        sqlite3_result_null(context);
    else
        resultText(context, textOf(argv[0]).toUpper());
}

void lcase(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (isNull(argv[0]))
        sqlite3_result_null(context);
    else
        resultText(context, textOf(argv[0]).toLower());
}

// Access trims spaces only, not tabs or line breaks.
template<bool Leading, bool Trailing>
void trimSpaces(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (isNull(argv[0])) {
        sqlite3_result_null(context);
        return;
    }
    const QString text = textOf(argv[0]);
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (Leading && begin < end && text[begin] == u' ')
        ++begin;
    while (Trailing && end > begin && text[end - 1] == u' ')
        --end;
    resultText(context, text.sliced(begin, end - begin));
}

// InStr([start,] text, sought[, compare])
void instr(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    qint64 start = 1;
    int first = 0;
    if (argc > 2) {
        const std::optional<qint64> given = countArgument(context, argv[0], 1, "InStr");
        if (!given)
            return;
        start = *given;
        first = 1;
    }
    Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
    if (argc > 3 && !isNull(argv[3])) {
        const std::optional<qint64> compare = wholeOf(argv[3]);
        if (!compare || *compare < 0 || *compare > 2) {
            fail(context, invalidCall, "InStr");
            return;
        }
        if (*compare != 0)
            sensitivity = Qt::CaseInsensitive;
    }
    if (isNull(argv[first]) || isNull(argv[first + 1])) {
        sqlite3_result_null(context);
        return;
    }
    const QString text = textOf(argv[first]);
    const QString sought = textOf(argv[first + 1]);
    if (start > text.size()) {
        sqlite3_result_int64(context, 0);
        return;
    }
    if (sought.isEmpty()) {
        sqlite3_result_int64(context, start);
        return;
    }
    const qsizetype found = text.indexOf(sought, qsizetype(start - 1), sensitivity);
    sqlite3_result_int64(context, found < 0 ? 0 : found + 1);
}

void now(sqlite3_context *context, int, sqlite3_value **)
{
    resultText(context, QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

void today(sqlite3_context *context, int, sqlite3_value **)
{
    resultText(context, QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
}

void timeOfDay(sqlite3_context *context, int, sqlite3_value **)
{
    resultText(context, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
}

struct DateParts
{
    QDate date;
    int seconds = 0;
};

// Access counts days from 1899-12-30; the fraction is the time of day, also
// before that date.
std::optional<DateParts> fromSerial(double serial)
{
    if (!std::isfinite(serial) || std::fabs(serial) > 4.0e6)
        return std::nullopt;
    const double day = std::trunc(serial);
    qint64 days = qint64(day);
    qint64 seconds = std::llround(std::fabs(serial - day) * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        ++days;
    }
    const QDate date = QDate(1899, 12, 30).addDays(days);
    if (!date.isValid())
        return std::nullopt;
    return DateParts{date, int(seconds)};
}

std::optional<DateParts> fromText(const QString &text)
{
    static const QRegularExpression dateTime(QStringLiteral(
        "^\\s*(\\d{4})-(\\d{1,2})-(\\d{1,2})(?:[ T](\\d{1,2}):(\\d{2})(?::(\\d{2})(?:\\.\\d+)?)?)?\\s*$"));
    static const QRegularExpression timeOnly(
        QStringLiteral("^\\s*(\\d{1,2}):(\\d{2})(?::(\\d{2})(?:\\.\\d+)?)?\\s*$"));
    QDate date(1899, 12, 30);
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (const QRegularExpressionMatch match = dateTime.match(text); match.hasMatch()) {
        date = QDate(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
        hour = match.captured(4).toInt();
        minute = match.captured(5).toInt();
        second = match.captured(6).toInt();
    } else if (const QRegularExpressionMatch time = timeOnly.match(text); time.hasMatch()) {
        hour = time.captured(1).toInt();
        minute = time.captured(2).toInt();
        second = time.captured(3).toInt();
    } else {
        return std::nullopt;
    }
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    return DateParts{date, hour * 3600 + minute * 60 + second};
}

enum class Part { Year, Month, Day, Hour, Minute, Second };

template<Part part>
void datePart(sqlite3_context *context, int, sqlite3_value **argv)
{
    static constexpr const char *names[] = {"Year", "Month", "Day", "Hour", "Minute", "Second"};
    const char *name = names[int(part)];
    std::optional<DateParts> parts;
    switch (sqlite3_value_type(argv[0])) {
    case SQLITE_NULL:
        sqlite3_result_null(context);
        return;
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        parts = fromSerial(sqlite3_value_double(argv[0]));
        break;
    case SQLITE_TEXT:
        parts = fromText(textOf(argv[0]));
        break;
    default:
        break;
    }
    if (!parts) {
        fail(context, typeMismatch, name);
        return;
    }
    int result = 0;
    switch (part) {
    case Part::Year:
        result = parts->date.year();
        break;
    case Part::Month:
        result = parts->date.month();
        break;
    case Part::Day:
        result = parts->date.day();
        break;
    case Part::Hour:
        result = parts->seconds / 3600;
        break;
    case Part::Minute:
        result = parts->seconds / 60 % 60;
        break;
    case Part::Second:
        result = parts->seconds % 60;
        break;
    }
    sqlite3_result_int(context, result);
}

using Implementation = void (*)(sqlite3_context *, int, sqlite3_value **);

struct Function
{
    const char *name;
    int arguments;
    Implementation implementation;
    bool deterministic = true;
};

const Function functions[] = {
    {"IIf", 3, iif},
    {"Nz", 1, nz},
    {"Nz", 2, nz},
    {"Len", 1, len},
    {"Left", 2, left},
    {"Right", 2, right},
    {"Mid", 2, mid},
    {"Mid", 3, mid},
    {"UCase", 1, ucase},
    {"LCase", 1, lcase},
    {"Trim", 1, trimSpaces<true, true>},
    {"LTrim", 1, trimSpaces<true, false>},
    {"RTrim", 1, trimSpaces<false, true>},
    {"InStr", 2, instr},
    {"InStr", 3, instr},
    {"InStr", 4, instr},
    {"Now", 0, now, false},
    {"Date", 0, today, false},
    {"Time", 0, timeOfDay, false},
    {"Year", 1, datePart<Part::Year>},
    {"Month", 1, datePart<Part::Month>},
    {"Day", 1, datePart<Part::Day>},
    {"Hour", 1, datePart<Part::Hour>},
    {"Minute", 1, datePart<Part::Minute>},
    {"Second", 1, datePart<Part::Second>},
};

} // namespace

void AccessFunctions::install(sqlite3 *db)
{
    AccessTextCollation::install(db);
    AccessOperators::install(db);
    AccessAggregates::install(db);
    for (const Function &function : functions) {
        const int flags = SQLITE_UTF16 | SQLITE_INNOCUOUS | (function.deterministic ? SQLITE_DETERMINISTIC : 0);
        if (sqlite3_create_function_v2(db, function.name, function.arguments, flags, nullptr,
                                       function.implementation, nullptr, nullptr, nullptr)
            != SQLITE_OK) {
            throw Failure(QString::fromUtf8(sqlite3_errmsg(db)));
        }
    }
}

} // namespace morvane
