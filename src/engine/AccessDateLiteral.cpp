#include "AccessDateLiteral.h"

#include <QDate>

#include <array>
#include <optional>

namespace morvane {

namespace {

struct Piece
{
    enum class Kind { Number, Month, Meridiem };
    Kind kind;
    int value;
    int digits = 0;
};

constexpr std::array<QStringView, 12> monthNames = {u"jan", u"feb", u"mar", u"apr", u"may", u"jun",
                                                    u"jul", u"aug", u"sep", u"oct", u"nov", u"dec"};

int monthOf(QStringView word)
{
    if (word.size() < 3)
        return 0;
    for (std::size_t i = 0; i < monthNames.size(); ++i) {
        if (word.first(3).compare(monthNames[i], Qt::CaseInsensitive) == 0)
            return int(i) + 1;
    }
    return 0;
}

int fullYear(int year, int digits)
{
    if (digits > 2)
        return year;
    return year < 30 ? 2000 + year : 1900 + year;
}

struct Split
{
    std::vector<Piece> date;
    std::vector<int> time;
    int meridiem = 0; // 1 AM, 2 PM
    bool ok = true;
};

// Date pieces are separated by / - . , or spaces; the time is the run of
// numbers joined by colons.
Split split(QStringView text)
{
    Split s;
    qsizetype i = 0;
    while (i < text.size() && s.ok) {
        const QChar c = text[i];
        if (c.isDigit()) {
            qsizetype end = i;
            while (end < text.size() && text[end].isDigit())
                ++end;
            const int value = text.sliced(i, end - i).toInt();
            if (end < text.size() && text[end] == u':') {
                s.time.push_back(value);
                i = end + 1;
                while (s.ok && i < text.size() && text[i].isDigit()) {
                    qsizetype e = i;
                    while (e < text.size() && text[e].isDigit())
                        ++e;
                    s.time.push_back(text.sliced(i, e - i).toInt());
                    i = e;
                    if (i < text.size() && text[i] == u':')
                        ++i;
                    else
                        break;
                }
                continue;
            }
            s.date.push_back({Piece::Kind::Number, value, int(end - i)});
            i = end;
        } else if (c.isLetter()) {
            qsizetype end = i;
            while (end < text.size() && text[end].isLetter())
                ++end;
            const QStringView word = text.sliced(i, end - i);
            if (word.compare(u"am", Qt::CaseInsensitive) == 0 || word.compare(u"a", Qt::CaseInsensitive) == 0)
                s.meridiem = 1;
            else if (word.compare(u"pm", Qt::CaseInsensitive) == 0 || word.compare(u"p", Qt::CaseInsensitive) == 0)
                s.meridiem = 2;
            else if (const int month = monthOf(word))
                s.date.push_back({Piece::Kind::Month, month});
            else
                s.ok = false;
            i = end;
        } else if (c.isSpace() || c == u'/' || c == u'-' || c == u'.' || c == u',') {
            ++i;
        } else {
            s.ok = false;
        }
    }
    return s;
}

std::optional<QDate> dateOf(const std::vector<Piece> &pieces)
{
    if (pieces.empty())
        return QDate(1899, 12, 30);
    if (pieces.size() != 3)
        return std::nullopt;
    int year = 0;
    int month = 0;
    int day = 0;
    const auto number = [](const Piece &p) { return p.kind == Piece::Kind::Number; };
    if (!number(pieces[1])) {
        // 31-Jan-1995 or 31 January 1995
        day = pieces[0].value;
        month = pieces[1].value;
        year = fullYear(pieces[2].value, pieces[2].digits);
    } else if (!number(pieces[0])) {
        // January 31, 1995
        month = pieces[0].value;
        day = pieces[1].value;
        year = fullYear(pieces[2].value, pieces[2].digits);
    } else if (pieces[0].digits > 2) {
        year = pieces[0].value;
        month = pieces[1].value;
        day = pieces[2].value;
    } else {
        month = pieces[0].value;
        day = pieces[1].value;
        if (month > 12 && day <= 12)
            std::swap(month, day);
        year = fullYear(pieces[2].value, pieces[2].digits);
    }
    const QDate date(year, month, day);
    if (!date.isValid() || year < 100 || year > 9999)
        return std::nullopt;
    return date;
}

} // namespace

QString AccessDateLiteral::toIso(QStringView text)
{
    const Split s = split(text.trimmed());
    if (!s.ok || (s.date.empty() && s.time.empty()) || s.time.size() > 3 || (s.meridiem && s.time.empty()))
        return {};
    const std::optional<QDate> date = dateOf(s.date);
    if (!date)
        return {};
    QString iso = date->toString(QStringLiteral("yyyy-MM-dd"));
    if (s.time.empty())
        return iso;
    int hour = s.time[0];
    const int minute = s.time.size() > 1 ? s.time[1] : 0;
    const int second = s.time.size() > 2 ? s.time[2] : 0;
    if (s.meridiem) {
        if (hour < 1 || hour > 12)
            return {};
        hour = hour % 12 + (s.meridiem == 2 ? 12 : 0);
    }
    if (hour > 23 || minute > 59 || second > 59)
        return {};
    // Midnight is the date alone, as the Access backend shows it.
    if (hour == 0 && minute == 0 && second == 0)
        return iso;
    return iso + QStringLiteral(" %1:%2:%3").arg(hour, 2, 10, QChar(u'0')).arg(minute, 2, 10, QChar(u'0')).arg(second, 2, 10, QChar(u'0'));
}

} // namespace morvane
