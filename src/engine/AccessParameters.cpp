#include "AccessParameters.h"

#include "Failure.h"

#include <QDate>
#include <QRegularExpression>
#include <QTime>

#include <sqlite3.h>

#include <cmath>

namespace morvane {

namespace {

QString typeKey(const QString &type)
{
    QString key = type.trimmed().toLower();
    const qsizetype size = key.indexOf(u'(');
    return size < 0 ? key : key.left(size).trimmed();
}

[[noreturn]] void notA(const QString &name, const QString &typed, const QString &what)
{
    throw Failure(QStringLiteral("'%1' is not %2, which the parameter '%3' takes.").arg(typed, what, name));
}

std::optional<double> number(const QString &typed)
{
    bool ok = false;
    const double value = typed.toDouble(&ok);
    return ok && std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

// Whole numbers are rounded as Access rounds them: halves to the even one.
QVariant wholeNumber(const QString &name, const QString &typed, double low, double high)
{
    const std::optional<double> value = number(typed);
    if (!value)
        notA(name, typed, QStringLiteral("a number"));
    const double rounded = std::nearbyint(*value);
    if (rounded < low || rounded > high)
        notA(name, typed, QStringLiteral("a number from %1 to %2").arg(low, 0, 'f', 0).arg(high, 0, 'f', 0));
    return QVariant(qint64(rounded));
}

QVariant yesNo(const QString &name, const QString &typed)
{
    const QString word = typed.toLower();
    for (const char *yes : {"true", "yes", "on"}) {
        if (word == QLatin1StringView(yes))
            return QVariant(qint64(-1));
    }
    for (const char *no : {"false", "no", "off"}) {
        if (word == QLatin1StringView(no))
            return QVariant(qint64(0));
    }
    const std::optional<double> value = number(typed);
    if (!value)
        notA(name, typed, QStringLiteral("a Yes/No value"));
    return QVariant(qint64(*value == 0 ? 0 : -1));
}

// A two-digit year as Access reads it: 30 to 99 are 1930 to 1999.
int fullYear(int year, qsizetype digits)
{
    if (digits > 2)
        return year;
    return year < 30 ? 2000 + year : 1900 + year;
}

std::optional<QTime> timeOf(const QRegularExpressionMatch &match)
{
    if (!match.hasCaptured(QStringLiteral("hour")))
        return QTime(0, 0);
    int hour = match.captured(QStringLiteral("hour")).toInt();
    const QString half = match.captured(QStringLiteral("half")).toLower();
    if (!half.isEmpty()) {
        if (hour < 1 || hour > 12)
            return std::nullopt;
        hour = hour % 12 + (half == QStringLiteral("pm") ? 12 : 0);
    }
    const QTime time(hour, match.captured(QStringLiteral("minute")).toInt(),
                     match.captured(QStringLiteral("second")).toInt());
    return time.isValid() ? std::optional<QTime>(time) : std::nullopt;
}

// A date typed as Access's SQL reads one: month first (1/31/95), or year
// first (1995-01-31), each with an optional time; or a time alone.
QVariant dateTime(const QString &name, const QString &typed)
{
    static const QString time = QStringLiteral(
        R"((?:\s+|^)(?<hour>\d{1,2}):(?<minute>\d{2})(?::(?<second>\d{2}))?\s*(?<half>[AaPp][Mm])?)");
    static const QRegularExpression monthFirst(
        QStringLiteral(R"(^(?<month>\d{1,2})[/-](?<day>\d{1,2})[/-](?<year>\d{2}|\d{4})(?:%1)?$)").arg(time));
    static const QRegularExpression yearFirst(
        QStringLiteral(R"(^(?<year>\d{4})-(?<month>\d{1,2})-(?<day>\d{1,2})(?:%1)?$)").arg(time));
    static const QRegularExpression timeOnly(QStringLiteral("^%1$").arg(time));
    QDate date(1899, 12, 30);
    QRegularExpressionMatch match = timeOnly.match(typed);
    if (!match.hasMatch()) {
        match = monthFirst.match(typed);
        if (!match.hasMatch())
            match = yearFirst.match(typed);
        if (!match.hasMatch())
            notA(name, typed, QStringLiteral("a date"));
        const QString year = match.captured(QStringLiteral("year"));
        date = QDate(fullYear(year.toInt(), year.size()), match.captured(QStringLiteral("month")).toInt(),
                     match.captured(QStringLiteral("day")).toInt());
    }
    const std::optional<QTime> clock = timeOf(match);
    if (!date.isValid() || !clock)
        notA(name, typed, QStringLiteral("a date"));
    // The form the file's own dates take.
    QString text = date.toString(QStringLiteral("yyyy-MM-dd"));
    if (*clock != QTime(0, 0))
        text += u' ' + clock->toString(QStringLiteral("HH:mm:ss"));
    return QVariant(text);
}

} // namespace

QVariant AccessParameters::valueOf(const QString &name, const QString &typed, const QString &type)
{
    const QString text = typed.trimmed();
    // An empty answer is Null, whatever the type.
    if (text.isEmpty())
        return {};
    const QString key = typeKey(type);
    if (key == u"bit" || key == u"yesno" || key == u"logical" || key == u"boolean")
        return yesNo(name, text);
    if (key == u"byte")
        return wholeNumber(name, text, 0, 255);
    if (key == u"short" || key == u"smallint")
        return wholeNumber(name, text, -32768, 32767);
    if (key == u"long" || key == u"integer" || key == u"int" || key == u"counter")
        return wholeNumber(name, text, -2147483648.0, 2147483647.0);
    if (key == u"currency" || key == u"ieeesingle" || key == u"ieeedouble" || key == u"single" || key == u"double"
        || key == u"float" || key == u"decimal" || key == u"numeric") {
        const std::optional<double> value = number(text);
        if (!value)
            notA(name, text, QStringLiteral("a number"));
        return QVariant(*value);
    }
    if (key == u"datetime" || key == u"date" || key == u"time")
        return dateTime(name, text);
    // Text, and a parameter of no declared type: the text as typed.
    return QVariant(typed);
}

void AccessParameters::setPrompt(ParameterPrompt prompt)
{
    m_prompt = std::move(prompt);
    m_answers.clear();
}

QVariant AccessParameters::value(const QString &name, const QString &type)
{
    const QString key = name.toCaseFolded();
    const auto known = m_answers.constFind(key);
    if (known != m_answers.cend())
        return *known;
    if (!m_prompt)
        throw Failure(QStringLiteral("The parameter '%1' needs a value, and nothing here can ask for one.").arg(name));
    const std::optional<QString> typed = m_prompt(name);
    if (!typed)
        throw Failure(QStringLiteral("No value was given for the parameter '%1'.").arg(name));
    QVariant value = valueOf(name, *typed, type);
    m_answers.insert(key, value);
    return value;
}

namespace {

void resultValue(sqlite3_context *context, const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::LongLong:
        sqlite3_result_int64(context, value.toLongLong());
        break;
    case QMetaType::Double:
        sqlite3_result_double(context, value.toDouble());
        break;
    case QMetaType::QString: {
        const QString answer = value.toString();
        sqlite3_result_text16(context, answer.utf16(), int(answer.size() * 2), SQLITE_TRANSIENT);
        break;
    }
    default:
        sqlite3_result_null(context);
    }
}

void accessParameterFunction(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    // The name is a constant of the statement: its value is kept with it,
    // so a scan does not look it up again for every row.
    if (const auto *kept = static_cast<const QVariant *>(sqlite3_get_auxdata(context, 0)))
        return resultValue(context, *kept);
    auto *parameters = static_cast<AccessParameters *>(sqlite3_user_data(context));
    const auto text = [&](int i) {
        const auto *bytes = static_cast<const char16_t *>(sqlite3_value_text16(argv[i]));
        return bytes ? QString::fromUtf16(bytes, sqlite3_value_bytes16(argv[i]) / 2) : QString();
    };
    try {
        const QVariant value = parameters->value(text(0), argc > 1 ? text(1) : QString());
        resultValue(context, value);
        // Owned by SQLite from here on, which deletes it with the statement.
        sqlite3_set_auxdata(context, 0, new QVariant(value), [](void *kept) { delete static_cast<QVariant *>(kept); });
    } catch (const Failure &error) {
        const QByteArray message = error.description().toUtf8();
        sqlite3_result_error(context, message.constData(), int(message.size()));
    }
}

} // namespace

void AccessParameters::install(sqlite3 *db)
{
    for (int arguments : {1, 2}) {
        if (sqlite3_create_function_v2(db, "access_parameter", arguments, SQLITE_UTF8, this, accessParameterFunction,
                                       nullptr, nullptr, nullptr)
            != SQLITE_OK)
            throw Failure(QString::fromUtf8(sqlite3_errmsg(db)));
    }
}

} // namespace morvane
