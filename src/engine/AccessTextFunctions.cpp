#include "AccessTextFunctions.h"

#include "AccessValue.h"

#include <sqlite3.h>

#include <algorithm>

namespace morvane {

namespace {

using V = AccessValue;

void len(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (V::isNull(argv[0]))
        sqlite3_result_null(context);
    else
        sqlite3_result_int64(context, V::textOf(argv[0]).size());
}

template<bool FromLeft>
void side(sqlite3_context *context, int, sqlite3_value **argv)
{
    const char *name = FromLeft ? "Left" : "Right";
    const std::optional<qint64> count = V::countArgument(context, argv[1], 0, name);
    if (!count)
        return;
    if (V::isNull(argv[0])) {
        sqlite3_result_null(context);
        return;
    }
    const QString text = V::textOf(argv[0]);
    const qsizetype n = qsizetype(std::min<qint64>(*count, text.size()));
    V::resultText(context, FromLeft ? QStringView(text).left(n) : QStringView(text).right(n));
}

void mid(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    const std::optional<qint64> start = V::countArgument(context, argv[1], 1, "Mid");
    if (!start)
        return;
    qint64 length = -1;
    if (argc > 2) {
        const std::optional<qint64> given = V::countArgument(context, argv[2], 0, "Mid");
        if (!given)
            return;
        length = *given;
    }
    if (V::isNull(argv[0])) {
        sqlite3_result_null(context);
        return;
    }
    const QString text = V::textOf(argv[0]);
    if (*start > text.size()) {
        V::resultText(context, QString());
        return;
    }
    const qsizetype from = qsizetype(*start - 1);
    const qsizetype count = length < 0 ? -1 : qsizetype(std::min<qint64>(length, text.size() - from));
    V::resultText(context, QStringView(text).mid(from, count));
}

template<bool Upper>
void changeCase(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (V::isNull(argv[0]))
        sqlite3_result_null(context);
    else
        V::resultText(context, Upper ? V::textOf(argv[0]).toUpper() : V::textOf(argv[0]).toLower());
}

// Access trims spaces only, not tabs or line breaks.
template<bool Leading, bool Trailing>
void trimSpaces(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (V::isNull(argv[0])) {
        sqlite3_result_null(context);
        return;
    }
    const QString text = V::textOf(argv[0]);
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (Leading && begin < end && text[begin] == u' ')
        ++begin;
    while (Trailing && end > begin && text[end - 1] == u' ')
        --end;
    V::resultText(context, QStringView(text).sliced(begin, end - begin));
}

// The compare argument of InStr and its kin: 0 exact (the default), 1 or 2
// without regard to case.
bool sensitivityOf(sqlite3_context *context, sqlite3_value *value, const char *function, Qt::CaseSensitivity &result)
{
    result = Qt::CaseSensitive;
    if (!value || V::isNull(value))
        return true;
    const std::optional<qint64> compare = V::wholeOf(value);
    if (!compare || *compare < 0 || *compare > 2) {
        V::fail(context, V::invalidCall, function);
        return false;
    }
    if (*compare != 0)
        result = Qt::CaseInsensitive;
    return true;
}

// InStr([start,] text, sought[, compare])
void instr(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    qint64 start = 1;
    int first = 0;
    if (argc > 2) {
        const std::optional<qint64> given = V::countArgument(context, argv[0], 1, "InStr");
        if (!given)
            return;
        start = *given;
        first = 1;
    }
    Qt::CaseSensitivity sensitivity;
    if (!sensitivityOf(context, argc > 3 ? argv[3] : nullptr, "InStr", sensitivity))
        return;
    if (V::isNull(argv[first]) || V::isNull(argv[first + 1])) {
        sqlite3_result_null(context);
        return;
    }
    const QString text = V::textOf(argv[first]);
    const QString sought = V::textOf(argv[first + 1]);
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

// InStrRev(text, sought[, start[, compare]]): start -1 is the end.
void instrRev(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    qint64 start = -1;
    if (argc > 2 && !V::isNull(argv[2])) {
        const std::optional<qint64> given = V::wholeOf(argv[2]);
        if (!given || *given == 0 || *given < -1) {
            V::fail(context, V::invalidCall, "InStrRev");
            return;
        }
        start = *given;
    }
    Qt::CaseSensitivity sensitivity;
    if (!sensitivityOf(context, argc > 3 ? argv[3] : nullptr, "InStrRev", sensitivity))
        return;
    if (V::isNull(argv[0]) || V::isNull(argv[1])) {
        sqlite3_result_null(context);
        return;
    }
    const QString text = V::textOf(argv[0]);
    const QString sought = V::textOf(argv[1]);
    if (start > text.size()) {
        sqlite3_result_int64(context, 0);
        return;
    }
    const qsizetype end = start < 0 ? text.size() : qsizetype(start);
    if (sought.isEmpty()) {
        sqlite3_result_int64(context, end);
        return;
    }
    const qsizetype found = end < sought.size() ? -1 : text.lastIndexOf(sought, end - sought.size(), sensitivity);
    sqlite3_result_int64(context, found + 1);
}

// Replace(text, find, with[, start[, count[, compare]]]): the result begins
// at start, as in Access.
void replace(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    qint64 start = 1;
    qint64 count = -1;
    if (argc > 3) {
        const std::optional<qint64> given = V::countArgument(context, argv[3], 1, "Replace");
        if (!given)
            return;
        start = *given;
    }
    if (argc > 4) {
        const std::optional<qint64> given = V::countArgument(context, argv[4], -1, "Replace");
        if (!given)
            return;
        count = *given;
    }
    Qt::CaseSensitivity sensitivity;
    if (!sensitivityOf(context, argc > 5 ? argv[5] : nullptr, "Replace", sensitivity))
        return;
    if (V::isNull(argv[0])) {
        sqlite3_result_null(context);
        return;
    }
    if (V::isNull(argv[1]) || V::isNull(argv[2])) {
        V::fail(context, V::invalidNull, "Replace");
        return;
    }
    const QString text = V::textOf(argv[0]).mid(qsizetype(start - 1));
    const QString find = V::textOf(argv[1]);
    const QString with = V::textOf(argv[2]);
    if (find.isEmpty() || count == 0) {
        V::resultText(context, text);
        return;
    }
    QString result;
    qsizetype at = 0;
    for (qint64 done = 0; count < 0 || done < count; ++done) {
        const qsizetype found = text.indexOf(find, at, sensitivity);
        if (found < 0)
            break;
        result += QStringView(text).sliced(at, found - at);
        result += with;
        at = found + find.size();
    }
    result += QStringView(text).sliced(at);
    V::resultText(context, result);
}

void strComp(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    Qt::CaseSensitivity sensitivity;
    if (!sensitivityOf(context, argc > 2 ? argv[2] : nullptr, "StrComp", sensitivity))
        return;
    if (V::isNull(argv[0]) || V::isNull(argv[1])) {
        sqlite3_result_null(context);
        return;
    }
    const int c = QString::compare(V::textOf(argv[0]), V::textOf(argv[1]), sensitivity);
    sqlite3_result_int(context, c < 0 ? -1 : c > 0 ? 1 : 0);
}

void strReverse(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (V::isNull(argv[0])) {
        V::fail(context, V::invalidNull, "StrReverse");
        return;
    }
    QString text = V::textOf(argv[0]);
    std::reverse(text.begin(), text.end());
    V::resultText(context, text);
}

// Space(n) and String(n, character): n repeats of one character.
void space(sqlite3_context *context, int, sqlite3_value **argv)
{
    const std::optional<qint64> count = V::countArgument(context, argv[0], 0, "Space");
    if (!count)
        return;
    if (*count > 100'000'000) {
        V::fail(context, V::overflow, "Space");
        return;
    }
    V::resultText(context, QString(qsizetype(*count), u' '));
}

void string(sqlite3_context *context, int, sqlite3_value **argv)
{
    const std::optional<qint64> count = V::countArgument(context, argv[0], 0, "String");
    if (!count)
        return;
    if (V::isNull(argv[1])) {
        sqlite3_result_null(context);
        return;
    }
    QChar c;
    if (sqlite3_value_type(argv[1]) == SQLITE_TEXT) {
        const QString text = V::textOf(argv[1]);
        if (text.isEmpty()) {
            V::fail(context, V::invalidCall, "String");
            return;
        }
        c = text.front();
    } else {
        const std::optional<qint64> code = V::wholeOf(argv[1]);
        if (!code || *code < 0 || *code > 0xFFFF) {
            V::fail(context, V::invalidCall, "String");
            return;
        }
        c = QChar(char16_t(*code));
    }
    if (*count > 100'000'000) {
        V::fail(context, V::overflow, "String");
        return;
    }
    V::resultText(context, QString(qsizetype(*count), c));
}

void asc(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (V::isNull(argv[0])) {
        V::fail(context, V::invalidNull, "Asc");
        return;
    }
    const QString text = V::textOf(argv[0]);
    if (text.isEmpty()) {
        V::fail(context, V::invalidCall, "Asc");
        return;
    }
    sqlite3_result_int(context, text.front().unicode());
}

void chr(sqlite3_context *context, int, sqlite3_value **argv)
{
    const std::optional<qint64> code = V::countArgument(context, argv[0], 0, "Chr");
    if (!code)
        return;
    if (*code > 0xFFFF) {
        V::fail(context, V::invalidCall, "Chr");
        return;
    }
    V::resultText(context, QString(QChar(char16_t(*code))));
}

const AccessValue::Function functions[] = {
    {"Len", 1, len},
    {"Left", 2, side<true>},
    {"Right", 2, side<false>},
    {"Mid", 2, mid},
    {"Mid", 3, mid},
    {"UCase", 1, changeCase<true>},
    {"LCase", 1, changeCase<false>},
    {"Trim", 1, trimSpaces<true, true>},
    {"LTrim", 1, trimSpaces<true, false>},
    {"RTrim", 1, trimSpaces<false, true>},
    {"InStr", 2, instr},
    {"InStr", 3, instr},
    {"InStr", 4, instr},
    {"InStrRev", 2, instrRev},
    {"InStrRev", 3, instrRev},
    {"InStrRev", 4, instrRev},
    {"Replace", 3, replace},
    {"Replace", 4, replace},
    {"Replace", 5, replace},
    {"Replace", 6, replace},
    {"StrComp", 2, strComp},
    {"StrComp", 3, strComp},
    {"StrReverse", 1, strReverse},
    {"Space", 1, space},
    {"String", 2, string},
    {"Asc", 1, asc},
    {"Chr", 1, chr},
};

} // namespace

void AccessTextFunctions::install(sqlite3 *db)
{
    AccessValue::install(db, functions, std::size(functions));
}

} // namespace morvane
