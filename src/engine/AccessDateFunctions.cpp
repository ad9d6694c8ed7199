#include "AccessDateFunctions.h"

#include "AccessValue.h"

#include <QDateTime>
#include <QLocale>

#include <sqlite3.h>

#include <cmath>

namespace morvane {

namespace {

using V = AccessValue;
using DateTime = AccessValue::DateTime;

void now(sqlite3_context *context, int, sqlite3_value **)
{
    V::resultText(context, QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

void today(sqlite3_context *context, int, sqlite3_value **)
{
    V::resultText(context, QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")));
}

void timeOfDay(sqlite3_context *context, int, sqlite3_value **)
{
    V::resultText(context, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
}

// The date argument of a function: false (the result set) for Null or a
// value that is no date.
bool dateArgument(sqlite3_context *context, sqlite3_value *value, const char *function, DateTime &moment)
{
    if (V::isNull(value)) {
        sqlite3_result_null(context);
        return false;
    }
    const std::optional<DateTime> read = V::dateOf(value);
    if (!read) {
        V::fail(context, V::typeMismatch, function);
        return false;
    }
    moment = *read;
    return true;
}

enum class Interval { Year, Quarter, Month, DayOfYear, Day, Weekday, Week, Hour, Minute, Second, None };

Interval intervalOf(sqlite3_value *value)
{
    static const std::pair<const char *, Interval> names[] = {
        {"yyyy", Interval::Year},   {"q", Interval::Quarter}, {"m", Interval::Month},  {"y", Interval::DayOfYear},
        {"d", Interval::Day},       {"w", Interval::Weekday}, {"ww", Interval::Week},  {"h", Interval::Hour},
        {"n", Interval::Minute},    {"s", Interval::Second},
    };
    const QString text = V::textOf(value).trimmed();
    for (const auto &[name, interval] : names) {
        if (text.compare(QLatin1StringView(name), Qt::CaseInsensitive) == 0)
            return interval;
    }
    return Interval::None;
}

// Weekday from 1, counted from the first day of the week (1 Sunday).
int weekdayOf(const QDate &date, int firstDay)
{
    const int sundayBased = date.dayOfWeek() % 7 + 1; // Sunday 1 ... Saturday 7
    return (sundayBased - firstDay + 7) % 7 + 1;
}

bool firstDayArgument(sqlite3_context *context, int argc, sqlite3_value **argv, int at, const char *function,
                      int &firstDay)
{
    firstDay = 1;
    if (argc <= at || V::isNull(argv[at]))
        return true;
    const std::optional<qint64> given = V::wholeOf(argv[at]);
    if (!given || *given < 0 || *given > 7) {
        V::fail(context, V::invalidCall, function);
        return false;
    }
    // 0 is the system's setting: Sunday, as in the United States.
    firstDay = *given == 0 ? 1 : int(*given);
    return true;
}

// The interval and first day of the week of DateDiff and DatePart: None
// (with the result set) when either is wrong.
Interval intervalArguments(sqlite3_context *context, int argc, sqlite3_value **argv, int firstDayAt,
                           const char *function, int &firstDay)
{
    const Interval interval = intervalOf(argv[0]);
    if (interval == Interval::None) {
        V::fail(context, V::invalidCall, function);
        return Interval::None;
    }
    return firstDayArgument(context, argc, argv, firstDayAt, function, firstDay) ? interval : Interval::None;
}

void resultDate(sqlite3_context *context, const QDate &date, int seconds, const char *function)
{
    if (!date.isValid() || date.year() < 100 || date.year() > 9999) {
        V::fail(context, V::invalidCall, function);
        return;
    }
    V::resultText(context, V::textOfDate({date, seconds}));
}

// DateAdd(interval, number, date): months keep the day where the month has
// it, else take the month's last day.
void dateAdd(sqlite3_context *context, int, sqlite3_value **argv)
{
    const Interval interval = intervalOf(argv[0]);
    if (interval == Interval::None) {
        V::fail(context, V::invalidCall, "DateAdd");
        return;
    }
    if (V::isNull(argv[1])) {
        V::fail(context, V::invalidNull, "DateAdd");
        return;
    }
    DateTime moment;
    if (!dateArgument(context, argv[2], "DateAdd", moment))
        return;
    const std::optional<double> number = V::numberOf(argv[1]);
    if (!number || std::fabs(*number) > 1.0e7) {
        V::fail(context, V::typeMismatch, "DateAdd");
        return;
    }
    const qint64 n = qint64(std::trunc(*number));
    switch (interval) {
    case Interval::Year:
        resultDate(context, moment.date.addYears(int(n)), moment.seconds, "DateAdd");
        return;
    case Interval::Quarter:
        resultDate(context, moment.date.addMonths(int(n * 3)), moment.seconds, "DateAdd");
        return;
    case Interval::Month:
        resultDate(context, moment.date.addMonths(int(n)), moment.seconds, "DateAdd");
        return;
    case Interval::DayOfYear:
    case Interval::Day:
    case Interval::Weekday:
        resultDate(context, moment.date.addDays(n), moment.seconds, "DateAdd");
        return;
    case Interval::Week:
        resultDate(context, moment.date.addDays(n * 7), moment.seconds, "DateAdd");
        return;
    default: {
        const qint64 unit = interval == Interval::Hour ? 3600 : interval == Interval::Minute ? 60 : 1;
        const qint64 total = moment.seconds + n * unit;
        const qint64 days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
        resultDate(context, moment.date.addDays(days), int(total - days * 86400), "DateAdd");
        return;
    }
    }
}

// DateDiff counts the boundaries crossed: from Dec 31 to Jan 1 is a year.
void dateDiff(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    int firstDay = 1;
    const Interval interval = intervalArguments(context, argc, argv, 3, "DateDiff", firstDay);
    if (interval == Interval::None)
        return;
    DateTime from;
    DateTime to;
    if (V::isNull(argv[1]) || V::isNull(argv[2])) {
        sqlite3_result_null(context);
        return;
    }
    if (!dateArgument(context, argv[1], "DateDiff", from) || !dateArgument(context, argv[2], "DateDiff", to))
        return;
    const qint64 days = from.date.daysTo(to.date);
    qint64 result = 0;
    switch (interval) {
    case Interval::Year:
        result = to.date.year() - from.date.year();
        break;
    case Interval::Quarter:
        result = (to.date.year() - from.date.year()) * 4 + (to.date.month() - 1) / 3 - (from.date.month() - 1) / 3;
        break;
    case Interval::Month:
        result = (to.date.year() - from.date.year()) * 12 + to.date.month() - from.date.month();
        break;
    case Interval::DayOfYear:
    case Interval::Day:
        result = days;
        break;
    case Interval::Weekday:
        result = days / 7;
        break;
    case Interval::Week: {
        // Weeks: the first days of the week between the two dates.
        const auto weekStart = [firstDay](const QDate &d) { return d.addDays(1 - weekdayOf(d, firstDay)); };
        result = weekStart(from.date).daysTo(weekStart(to.date)) / 7;
        break;
    }
    case Interval::Hour:
        result = days * 24 + to.seconds / 3600 - from.seconds / 3600;
        break;
    case Interval::Minute:
        result = days * 1440 + to.seconds / 60 - from.seconds / 60;
        break;
    case Interval::Second:
        result = days * 86400 + to.seconds - from.seconds;
        break;
    case Interval::None:
        break;
    }
    sqlite3_result_int64(context, result);
}

void datePart(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    int firstDay = 1;
    const Interval interval = intervalArguments(context, argc, argv, 2, "DatePart", firstDay);
    if (interval == Interval::None)
        return;
    DateTime moment;
    if (!dateArgument(context, argv[1], "DatePart", moment))
        return;
    const QDate &d = moment.date;
    int result = 0;
    switch (interval) {
    case Interval::Year:
        result = d.year();
        break;
    case Interval::Quarter:
        result = (d.month() - 1) / 3 + 1;
        break;
    case Interval::Month:
        result = d.month();
        break;
    case Interval::DayOfYear:
        result = d.dayOfYear();
        break;
    case Interval::Day:
        result = d.day();
        break;
    case Interval::Weekday:
        result = weekdayOf(d, firstDay);
        break;
    case Interval::Week: {
        // The week that holds January 1 is the first.
        const QDate january(d.year(), 1, 1);
        result = int((january.addDays(1 - weekdayOf(january, firstDay)).daysTo(d)) / 7) + 1;
        break;
    }
    case Interval::Hour:
        result = moment.seconds / 3600;
        break;
    case Interval::Minute:
        result = moment.seconds / 60 % 60;
        break;
    case Interval::Second:
        result = moment.seconds % 60;
        break;
    case Interval::None:
        break;
    }
    sqlite3_result_int(context, result);
}

enum class Part { Year, Month, Day, Hour, Minute, Second };

template<Part part>
void partOf(sqlite3_context *context, int, sqlite3_value **argv)
{
    static constexpr const char *names[] = {"Year", "Month", "Day", "Hour", "Minute", "Second"};
    DateTime moment;
    if (!dateArgument(context, argv[0], names[int(part)], moment))
        return;
    const int values[] = {moment.date.year(),          moment.date.month(),          moment.date.day(),
                          moment.seconds / 3600,       moment.seconds / 60 % 60,     moment.seconds % 60};
    sqlite3_result_int(context, values[int(part)]);
}

// The three whole numbers of DateSerial and TimeSerial.
bool threeWholes(sqlite3_context *context, sqlite3_value **argv, const char *function, qint64 (&parts)[3])
{
    for (int i = 0; i < 3; ++i) {
        const std::optional<qint64> part = V::isNull(argv[i]) ? std::nullopt : V::wholeOf(argv[i]);
        if (!part || *part < -10'000'000 || *part > 10'000'000) {
            V::fail(context, V::isNull(argv[i]) ? V::invalidNull : V::typeMismatch, function);
            return false;
        }
        parts[i] = *part;
    }
    return true;
}

// DateSerial(2024, 14, 0): months and days past their range carry over.
void dateSerial(sqlite3_context *context, int, sqlite3_value **argv)
{
    qint64 parts[3];
    if (!threeWholes(context, argv, "DateSerial", parts))
        return;
    qint64 year = parts[0];
    if (year >= 0 && year < 30)
        year += 2000;
    else if (year >= 30 && year < 100)
        year += 1900;
    if (year < 100 || year > 9999) {
        V::fail(context, V::invalidCall, "DateSerial");
        return;
    }
    const QDate date = QDate(int(year), 1, 1).addMonths(int(parts[1] - 1)).addDays(parts[2] - 1);
    resultDate(context, date, 0, "DateSerial");
}

void timeSerial(sqlite3_context *context, int, sqlite3_value **argv)
{
    qint64 parts[3];
    if (!threeWholes(context, argv, "TimeSerial", parts))
        return;
    const qint64 total = parts[0] * 3600 + parts[1] * 60 + parts[2];
    if (total < 0 || total >= 86400) {
        const qint64 days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
        resultDate(context, QDate(1899, 12, 30).addDays(days), int(total - days * 86400), "TimeSerial");
        return;
    }
    V::resultText(context, QTime(0, 0).addSecs(int(total)).toString(QStringLiteral("HH:mm:ss")));
}

void dateValue(sqlite3_context *context, int, sqlite3_value **argv)
{
    DateTime moment;
    if (dateArgument(context, argv[0], "DateValue", moment))
        resultDate(context, moment.date, 0, "DateValue");
}

void weekday(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    int firstDay = 1;
    if (!firstDayArgument(context, argc, argv, 1, "Weekday", firstDay))
        return;
    DateTime moment;
    if (dateArgument(context, argv[0], "Weekday", moment))
        sqlite3_result_int(context, weekdayOf(moment.date, firstDay));
}

void monthName(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    const std::optional<qint64> month = V::countArgument(context, argv[0], 1, "MonthName");
    if (!month)
        return;
    if (*month > 12) {
        V::fail(context, V::invalidCall, "MonthName");
        return;
    }
    const bool abbreviate = argc > 1 && !V::isNull(argv[1]) && V::numberOf(argv[1]).value_or(0) != 0;
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    V::resultText(context, english.monthName(int(*month), abbreviate ? QLocale::ShortFormat : QLocale::LongFormat));
}

const AccessValue::Function functions[] = {
    {"Now", 0, now, false},
    {"Date", 0, today, false},
    {"Time", 0, timeOfDay, false},
    {"Year", 1, partOf<Part::Year>},
    {"Month", 1, partOf<Part::Month>},
    {"Day", 1, partOf<Part::Day>},
    {"Hour", 1, partOf<Part::Hour>},
    {"Minute", 1, partOf<Part::Minute>},
    {"Second", 1, partOf<Part::Second>},
    {"DateAdd", 3, dateAdd},
    {"DateDiff", 3, dateDiff},
    {"DateDiff", 4, dateDiff},
    {"DateDiff", 5, dateDiff},
    {"DatePart", 2, datePart},
    {"DatePart", 3, datePart},
    {"DatePart", 4, datePart},
    {"DateSerial", 3, dateSerial},
    {"TimeSerial", 3, timeSerial},
    {"DateValue", 1, dateValue},
    {"Weekday", 1, weekday},
    {"Weekday", 2, weekday},
    {"MonthName", 1, monthName},
    {"MonthName", 2, monthName},
};

} // namespace

void AccessDateFunctions::install(sqlite3 *db)
{
    AccessValue::install(db, functions, std::size(functions));
}

} // namespace morvane
