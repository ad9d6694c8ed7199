#include "AccessValue.h"

#include "AccessDateLiteral.h"
#include "Failure.h"

#include <sqlite3.h>

#include <cmath>

namespace morvane {

void AccessValue::install(sqlite3 *db, const Function *functions, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const Function &function = functions[i];
        const int flags = SQLITE_UTF8 | SQLITE_INNOCUOUS | (function.deterministic ? SQLITE_DETERMINISTIC : 0);
        if (sqlite3_create_function_v2(db, function.name, function.arguments, flags, nullptr,
                                       function.implementation, nullptr, nullptr, nullptr)
            != SQLITE_OK) {
            throw Failure(QString::fromUtf8(sqlite3_errmsg(db)));
        }
    }
}

void AccessValue::fail(sqlite3_context *context, const char *what, const char *function)
{
    const QByteArray message = QByteArray(what) + " in " + function + "()";
    sqlite3_result_error(context, message.constData(), int(message.size()));
}

bool AccessValue::isNull(sqlite3_value *value)
{
    return sqlite3_value_type(value) == SQLITE_NULL;
}

QString AccessValue::textOf(sqlite3_value *value)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(value));
    return text ? QString::fromUtf8(text, sqlite3_value_bytes(value)) : QString();
}

void AccessValue::resultText(sqlite3_context *context, QStringView text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_result_text(context, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

void AccessValue::resultBoolean(sqlite3_context *context, bool value)
{
    sqlite3_result_int(context, value ? -1 : 0);
}

void AccessValue::resultNumber(sqlite3_context *context, double value)
{
    if (std::trunc(value) == value && std::fabs(value) < 9.0e15)
        sqlite3_result_int64(context, sqlite3_int64(value));
    else
        sqlite3_result_double(context, value);
}

std::optional<double> AccessValue::numberOf(sqlite3_value *value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        return sqlite3_value_double(value);
    case SQLITE_TEXT: {
        bool ok = false;
        const double number = textOf(value).trimmed().toDouble(&ok);
        if (ok)
            return number;
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<qint64> AccessValue::wholeOf(sqlite3_value *value)
{
    if (sqlite3_value_type(value) == SQLITE_INTEGER)
        return sqlite3_value_int64(value);
    const std::optional<double> number = numberOf(value);
    if (!number)
        return std::nullopt;
    const double whole = std::nearbyint(*number);
    if (!std::isfinite(whole) || std::fabs(whole) > 9.0e18)
        return std::nullopt;
    return qint64(whole);
}

std::optional<qint64> AccessValue::countArgument(sqlite3_context *context, sqlite3_value *value, qint64 least,
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

std::optional<AccessValue::DateTime> AccessValue::fromSerial(double serial)
{
    if (!std::isfinite(serial) || std::fabs(serial) > 4.0e6)
        return std::nullopt;
    // The fraction is the time of day, also before day zero.
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
    return DateTime{date, int(seconds)};
}

std::optional<AccessValue::DateTime> AccessValue::fromText(const QString &text)
{
    // The backend's own form first: it is what every date column holds.
    const QStringView t = QStringView(text).trimmed();
    if (t.size() >= 10 && t[4] == u'-' && t[7] == u'-') {
        const QDate date(t.first(4).toInt(), t.sliced(5, 2).toInt(), t.sliced(8, 2).toInt());
        if (date.isValid() && t.size() == 10)
            return DateTime{date, 0};
        if (date.isValid() && t.size() >= 19 && t[13] == u':' && t[16] == u':') {
            const int h = t.sliced(11, 2).toInt();
            const int m = t.sliced(14, 2).toInt();
            const int s = t.sliced(17, 2).toInt();
            if (h < 24 && m < 60 && s < 60)
                return DateTime{date, h * 3600 + m * 60 + s};
        }
    }
    const QString iso = AccessDateLiteral::toIso(t);
    if (iso.isEmpty())
        return std::nullopt;
    const QDate date = QDate::fromString(iso.left(10), QStringLiteral("yyyy-MM-dd"));
    int seconds = 0;
    if (iso.size() > 10)
        seconds = iso.sliced(11, 2).toInt() * 3600 + iso.sliced(14, 2).toInt() * 60 + iso.sliced(17, 2).toInt();
    return DateTime{date, seconds};
}

std::optional<AccessValue::DateTime> AccessValue::dateOf(sqlite3_value *value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        return fromSerial(sqlite3_value_double(value));
    case SQLITE_TEXT:
        return fromText(textOf(value));
    default:
        return std::nullopt;
    }
}

double AccessValue::serialOf(const DateTime &moment)
{
    const double days = double(QDate(1899, 12, 30).daysTo(moment.date));
    const double fraction = moment.seconds / 86400.0;
    // Before day zero the time still counts forward: -1.25 is 6 a.m. on the 29th.
    return days < 0 ? days - fraction : days + fraction;
}

QString AccessValue::textOfDate(const DateTime &moment)
{
    QString text = moment.date.toString(QStringLiteral("yyyy-MM-dd"));
    if (moment.seconds == 0)
        return text;
    const int h = moment.seconds / 3600;
    const int m = moment.seconds / 60 % 60;
    const int s = moment.seconds % 60;
    return text + QStringLiteral(" %1:%2:%3").arg(h, 2, 10, QChar(u'0')).arg(m, 2, 10, QChar(u'0')).arg(s, 2, 10, QChar(u'0'));
}

bool AccessValue::looksLikeDate(sqlite3_value *value)
{
    if (sqlite3_value_type(value) != SQLITE_TEXT)
        return false;
    const auto *t = sqlite3_value_text(value);
    const int n = sqlite3_value_bytes(value);
    return (n == 10 || n == 19) && t[4] == '-' && t[7] == '-' && t[0] >= '0' && t[0] <= '9';
}

} // namespace morvane
