#include "AccessFormatFunction.h"

#include "AccessValue.h"

#include <QLocale>
#include <QStringList>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>

namespace morvane {

namespace {

using V = AccessValue;

const QLocale &english()
{
    static const QLocale locale(QLocale::English, QLocale::UnitedStates);
    return locale;
}

using NamedFormat = std::pair<const char *, const char *>;

// The format a name stands for ("Currency", "Short Date"); empty for none.
template<std::size_t N>
QString namedFormat(const QString &name, const NamedFormat (&names)[N])
{
    for (const auto &[named, format] : names) {
        if (name.compare(QLatin1StringView(named), Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(format);
    }
    return {};
}

QString namedNumberFormat(const QString &name)
{
    static const NamedFormat names[] = {
        {"currency", "$#,##0.00;($#,##0.00)"}, {"fixed", "0.00"},         {"standard", "#,##0.00"},
        {"percent", "0.00%"},                  {"scientific", "0.00E+00"},
    };
    return namedFormat(name, names);
}

QString namedDateFormat(const QString &name)
{
    static const NamedFormat names[] = {
        {"long date", "dddd, mmmm d, yyyy"}, {"medium date", "dd-mmm-yy"},      {"short date", "m/d/yyyy"},
        {"long time", "h:nn:ss AM/PM"},      {"medium time", "hh:nn AM/PM"},    {"short time", "hh:nn"},
    };
    return namedFormat(name, names);
}

// Splits a format into its sections at semicolons outside quotes.
QStringList sections(const QString &format)
{
    QStringList parts(1);
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'"')
            quoted = !quoted;
        if (c == u'\\' && i + 1 < format.size()) {
            parts.last() += c;
            parts.last() += format[++i];
            continue;
        }
        if (c == u';' && !quoted) {
            parts.append(QString());
            continue;
        }
        parts.last() += c;
    }
    return parts;
}

// One section of a number format applied to a value of no sign.
QString numberSection(double value, const QString &section)
{
    QString prefix;
    QString suffix;
    int integerZeros = 0;
    int minDecimals = 0;
    int maxDecimals = 0;
    bool point = false;
    bool thousands = false;
    bool percent = false;
    bool seenDigit = false;
    int exponentDigits = -1;
    bool exponentPlus = false;
    for (qsizetype i = 0; i < section.size(); ++i) {
        const QChar c = section[i];
        QString *literal = seenDigit ? &suffix : &prefix;
        if (c == u'"') {
            const qsizetype end = section.indexOf(u'"', i + 1);
            *literal += section.mid(i + 1, (end < 0 ? section.size() : end) - i - 1);
            i = end < 0 ? section.size() : end;
        } else if (c == u'\\' && i + 1 < section.size()) {
            *literal += section[++i];
        } else if ((c == u'0' || c == u'#') && exponentDigits < 0) {
            seenDigit = true;
            suffix.clear();
            if (point) {
                ++maxDecimals;
                if (c == u'0')
                    minDecimals = maxDecimals;
            } else if (c == u'0') {
                ++integerZeros;
            }
        } else if (c == u'.' && !point && exponentDigits < 0) {
            point = true;
            seenDigit = true;
        } else if (c == u',' && seenDigit && !point) {
            thousands = true;
        } else if ((c == u'E' || c == u'e') && seenDigit && i + 1 < section.size()
                   && (section[i + 1] == u'+' || section[i + 1] == u'-')) {
            exponentPlus = section[i + 1] == u'+';
            exponentDigits = 0;
            i += 2;
            while (i < section.size() && (section[i] == u'0' || section[i] == u'#')) {
                ++exponentDigits;
                ++i;
            }
            --i;
        } else {
            if (c == u'%')
                percent = true;
            *literal += c;
        }
    }
    if (percent)
        value *= 100;
    int exponent = 0;
    if (exponentDigits >= 0 && value != 0) {
        exponent = int(std::floor(std::log10(value))) - std::max(integerZeros, 1) + 1;
        value /= std::pow(10.0, exponent);
    }
    // Format rounds a half away from zero.
    const double scale = std::pow(10.0, maxDecimals);
    value = std::round(value * scale) / scale;
    QString digits = QString::number(value, 'f', maxDecimals);
    QString integer = digits.section(u'.', 0, 0);
    QString fraction = digits.section(u'.', 1);
    while (fraction.size() > minDecimals && fraction.endsWith(u'0'))
        fraction.chop(1);
    if (integer == u"0" && integerZeros == 0)
        integer.clear();
    while (integer.size() < integerZeros)
        integer.prepend(u'0');
    if (thousands) {
        for (qsizetype at = integer.size() - 3; at > 0; at -= 3)
            integer.insert(at, u',');
    }
    QString text = integer;
    if (point && (!fraction.isEmpty() || minDecimals > 0))
        text += u'.' + fraction;
    else if (point && maxDecimals == 0)
        text += u'.';
    if (exponentDigits >= 0) {
        text += exponent < 0 ? QStringLiteral("E-") : (exponentPlus ? QStringLiteral("E+") : QStringLiteral("E"));
        text += QString::number(std::abs(exponent)).rightJustified(exponentDigits, u'0');
    }
    return prefix + text + suffix;
}

// Custom date formats: runs of one letter are one token.
QString formatDate(const V::DateTime &moment, const QString &format)
{
    const QDate &d = moment.date;
    const int hour = moment.seconds / 3600;
    const int minute = moment.seconds / 60 % 60;
    const int second = moment.seconds % 60;
    const bool twelveHours = format.contains(QStringLiteral("AM/PM"), Qt::CaseInsensitive)
        || format.contains(QStringLiteral("A/P"), Qt::CaseInsensitive);
    QString out;
    bool afterHour = false;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        const QChar lower = c.toLower();
        if (c == u'"') {
            const qsizetype end = format.indexOf(u'"', i + 1);
            out += format.mid(i + 1, (end < 0 ? format.size() : end) - i - 1);
            i = end < 0 ? format.size() : end + 1;
            continue;
        }
        if (c == u'\\' && i + 1 < format.size()) {
            out += format[i + 1];
            i += 2;
            continue;
        }
        if (format.mid(i, 5).compare(u"AM/PM", Qt::CaseInsensitive) == 0) {
            const bool upper = format[i].isUpper();
            out += hour < 12 ? (upper ? u"AM" : u"am") : (upper ? u"PM" : u"pm");
            i += 5;
            continue;
        }
        if (format.mid(i, 3).compare(u"A/P", Qt::CaseInsensitive) == 0) {
            const bool upper = format[i].isUpper();
            out += hour < 12 ? (upper ? u'A' : u'a') : (upper ? u'P' : u'p');
            i += 3;
            continue;
        }
        qsizetype run = 1;
        while (i + run < format.size() && format[i + run].toLower() == lower)
            ++run;
        const int n = int(run);
        const QLocale &en = english();
        switch (lower.unicode()) {
        case u'd':
            if (n == 1)
                out += QString::number(d.day());
            else if (n == 2)
                out += QString::number(d.day()).rightJustified(2, u'0');
            else if (n == 3)
                out += en.dayName(d.dayOfWeek(), QLocale::ShortFormat);
            else if (n == 4)
                out += en.dayName(d.dayOfWeek(), QLocale::LongFormat);
            else
                out += formatDate({d, 0}, n == 5 ? QStringLiteral("m/d/yyyy") : QStringLiteral("dddd, mmmm d, yyyy"));
            break;
        case u'm':
            if (afterHour && n <= 2)
                out += QString::number(minute).rightJustified(n, u'0');
            else if (n <= 2)
                out += QString::number(d.month()).rightJustified(n, u'0');
            else
                out += en.monthName(d.month(), n == 3 ? QLocale::ShortFormat : QLocale::LongFormat);
            break;
        case u'y':
            if (n >= 3)
                out += QString::number(d.year());
            else if (n == 2)
                out += QString::number(d.year() % 100).rightJustified(2, u'0');
            else
                out += QString::number(d.dayOfYear());
            break;
        case u'q':
            out += QString::number((d.month() - 1) / 3 + 1);
            break;
        case u'w':
            if (n == 1)
                out += QString::number(d.dayOfWeek() % 7 + 1);
            else
                out += QString::number(QDate(d.year(), 1, 1).addDays(-(QDate(d.year(), 1, 1).dayOfWeek() % 7)).daysTo(d) / 7 + 1);
            break;
        case u'h': {
            const int shown = twelveHours ? (hour % 12 == 0 ? 12 : hour % 12) : hour;
            out += QString::number(shown).rightJustified(std::min(n, 2), u'0');
            break;
        }
        case u'n':
            out += QString::number(minute).rightJustified(std::min(n, 2), u'0');
            break;
        case u's':
            out += QString::number(second).rightJustified(std::min(n, 2), u'0');
            break;
        case u'c':
            out += formatDate(moment, moment.seconds ? QStringLiteral("m/d/yyyy h:nn:ss AM/PM") : QStringLiteral("m/d/yyyy"));
            break;
        default:
            out += format.mid(i, run);
            break;
        }
        if (lower == u'h')
            afterHour = true;
        else if (lower != u':' && lower != u' ' && lower != u'm')
            afterHour = false;
        i += run;
    }
    return out;
}

QString generalDate(const V::DateTime &moment)
{
    if (moment.date == QDate(1899, 12, 30) && moment.seconds != 0)
        return formatDate(moment, QStringLiteral("h:nn:ss AM/PM"));
    return formatDate(moment, QStringLiteral("c"));
}

QString formatText(const QString &text, const QString &format)
{
    QString result = text;
    if (format.contains(u'>'))
        result = result.toUpper();
    else if (format.contains(u'<'))
        result = result.toLower();
    const qsizetype places = format.count(u'@');
    if (places > result.size())
        result = result.rightJustified(places, u' ');
    return result;
}

bool isDateFormat(const QString &format)
{
    QString bare = format;
    bare.remove(QStringLiteral("AM/PM"), Qt::CaseInsensitive).remove(QStringLiteral("A/P"), Qt::CaseInsensitive);
    for (QChar c : bare) {
        if (QStringLiteral("dmyqwhnsc").contains(c.toLower()))
            return true;
    }
    return false;
}

QString formatNumber(double value, const QString &format)
{
    const QStringList parts = sections(format);
    if (value < 0 && parts.size() > 1 && !parts[1].isEmpty())
        return numberSection(-value, parts[1]);
    if (value == 0 && parts.size() > 2 && !parts[2].isEmpty())
        return numberSection(0, parts[2]);
    const QString text = numberSection(std::fabs(value), parts[0]);
    // A negative number that rounds to zero shows no sign.
    const bool showsDigits = std::any_of(text.begin(), text.end(), [](QChar c) { return c.isDigit() && c != u'0'; });
    return value < 0 && showsDigits ? u'-' + text : text;
}

void format(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    sqlite3_value *value = argv[0];
    const QString fmt = argc > 1 && !V::isNull(argv[1]) ? V::textOf(argv[1]) : QString();
    if (V::isNull(value)) {
        const QStringList parts = sections(fmt);
        if (parts.size() > 3 && !isDateFormat(fmt))
            V::resultText(context, numberSection(0, parts[3]).remove(u'0'));
        else
            sqlite3_result_null(context);
        return;
    }
    const bool number = sqlite3_value_type(value) == SQLITE_INTEGER || sqlite3_value_type(value) == SQLITE_FLOAT;
    const std::optional<double> numeric = V::numberOf(value);
    const QString trimmed = fmt.trimmed();
    if (trimmed.isEmpty() || trimmed.compare(u"General Number", Qt::CaseInsensitive) == 0) {
        if (number && sqlite3_value_type(value) == SQLITE_FLOAT)
            V::resultText(context, QString::number(sqlite3_value_double(value), 'g', 15));
        else
            V::resultText(context, V::textOf(value));
        return;
    }
    static const std::pair<const char *, std::pair<const char *, const char *>> truths[] = {
        {"yes/no", {"Yes", "No"}}, {"true/false", {"True", "False"}}, {"on/off", {"On", "Off"}}};
    for (const auto &[name, words] : truths) {
        if (trimmed.compare(QLatin1StringView(name), Qt::CaseInsensitive) == 0 && numeric) {
            V::resultText(context, QString::fromLatin1(*numeric != 0 ? words.first : words.second));
            return;
        }
    }
    const QString namedDate = namedDateFormat(trimmed);
    const bool wantsDate = !namedDate.isEmpty() || trimmed.compare(u"General Date", Qt::CaseInsensitive) == 0
        || (isDateFormat(trimmed) && namedNumberFormat(trimmed).isEmpty());
    if (wantsDate && (!number || numeric)) {
        const std::optional<V::DateTime> moment = V::dateOf(value);
        if (moment) {
            V::resultText(context, namedDate.isEmpty() && trimmed.compare(u"General Date", Qt::CaseInsensitive) == 0
                                       ? generalDate(*moment)
                                       : formatDate(*moment, namedDate.isEmpty() ? fmt : namedDate));
            return;
        }
    }
    if (numeric && !(sqlite3_value_type(value) == SQLITE_TEXT && fmt.contains(u'@'))) {
        const QString named = namedNumberFormat(trimmed);
        V::resultText(context, formatNumber(*numeric, named.isEmpty() ? fmt : named));
        return;
    }
    V::resultText(context, formatText(V::textOf(value), fmt));
}

const AccessValue::Function functions[] = {
    {"Format", 1, format},
    {"Format", 2, format},
};

} // namespace

void AccessFormatFunction::install(sqlite3 *db)
{
    AccessValue::install(db, functions, std::size(functions));
}

} // namespace morvane
