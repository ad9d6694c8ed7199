#include "AccessSqlLexer.h"

#include "Failure.h"

namespace morvane {

namespace {

using Kind = AccessSqlToken::Kind;

bool startsWord(QChar c)
{
    return c.isLetter() || c == u'_';
}

bool continuesWord(QChar c)
{
    return c.isLetterOrNumber() || c == u'_';
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

[[noreturn]] void refuse(const QString &what, qsizetype position)
{
    throw Failure(QStringLiteral("Syntax error: %1 at character %2.").arg(what).arg(position + 1));
}

// The end of a quoted token opened at `from`; a doubled closing quote
// belongs to it, except for brackets, which Access never doubles.
qsizetype closingQuote(QStringView sql, qsizetype from, QChar close, const char *what)
{
    for (qsizetype i = from + 1; i < sql.size(); ++i) {
        if (sql[i] != close)
            continue;
        if (close != u']' && i + 1 < sql.size() && sql[i + 1] == close) {
            ++i;
            continue;
        }
        return i + 1;
    }
    refuse(QStringLiteral("%1 that is never closed").arg(QLatin1StringView(what)), from);
}

// Access 97 wrote a sub-select in brackets ([SELECT ... FROM [T]]. AS x),
// with brackets of its own inside.
bool bracketedSelect(QStringView sql, qsizetype at)
{
    const QStringView inside = sql.sliced(at + 1).trimmed();
    return inside.size() > 6 && inside.startsWith(u"select", Qt::CaseInsensitive) && inside[6].isSpace();
}

qsizetype closingBracket(QStringView sql, qsizetype from)
{
    int depth = 0;
    for (qsizetype i = from; i < sql.size(); ++i) {
        const QChar c = sql[i];
        if (c == u'\'' || c == u'"') {
            i = closingQuote(sql, i, c, "a text") - 1;
        } else if (c == u'[') {
            ++depth;
        } else if (c == u']' && --depth == 0) {
            return i + 1;
        }
    }
    refuse(QStringLiteral("a name in brackets that is never closed"), from);
}

qsizetype numberEnd(QStringView sql, qsizetype i)
{
    if (sql[i] == u'0' && i + 1 < sql.size() && (sql[i + 1] == u'x' || sql[i + 1] == u'X')) {
        i += 2;
        while (i < sql.size() && (isDigit(sql[i]) || (sql[i].toLower() >= u'a' && sql[i].toLower() <= u'f')))
            ++i;
        return i;
    }
    while (i < sql.size() && isDigit(sql[i]))
        ++i;
    if (i < sql.size() && sql[i] == u'.') {
        ++i;
        while (i < sql.size() && isDigit(sql[i]))
            ++i;
    }
    if (i < sql.size() && (sql[i] == u'e' || sql[i] == u'E')) {
        qsizetype j = i + 1;
        if (j < sql.size() && (sql[j] == u'+' || sql[j] == u'-'))
            ++j;
        if (j < sql.size() && isDigit(sql[j])) {
            while (j < sql.size() && isDigit(sql[j]))
                ++j;
            i = j;
        }
    }
    return i;
}

// Two-character operators first, so that "<=" is not read as "<" and "=".
qsizetype symbolLength(QStringView sql, qsizetype i)
{
    static constexpr char16_t pairs[][2] = {{u'<', u'>'}, {u'<', u'='}, {u'>', u'='}, {u'!', u'='},
                                            {u'=', u'='}, {u'|', u'|'}};
    if (i + 1 < sql.size()) {
        for (const auto &pair : pairs) {
            if (sql[i] == pair[0] && sql[i + 1] == pair[1])
                return 2;
        }
    }
    static constexpr QStringView singles = u"(),.!;=<>+-*/\\^&%";
    return singles.contains(sql[i]) ? 1 : 0;
}

} // namespace

std::vector<AccessSqlToken> AccessSqlLexer::tokens(QStringView sql)
{
    std::vector<AccessSqlToken> tokens;
    tokens.reserve(std::size_t(sql.size() / 4 + 2));
    qsizetype i = 0;
    const auto add = [&](Kind kind, qsizetype end) {
        tokens.push_back({kind, sql.sliced(i, end - i), i});
        i = end;
    };
    while (i < sql.size()) {
        const QChar c = sql[i];
        if (c.isSpace()) {
            ++i;
        } else if (c == u'-' && i + 1 < sql.size() && sql[i + 1] == u'-') {
            const qsizetype end = sql.indexOf(u'\n', i);
            i = end < 0 ? sql.size() : end + 1;
        } else if (c == u'/' && i + 1 < sql.size() && sql[i + 1] == u'*') {
            const qsizetype end = sql.indexOf(u"*/", i + 2);
            if (end < 0)
                refuse(QStringLiteral("a comment that is never closed"), i);
            i = end + 2;
        } else if (startsWord(c)) {
            qsizetype end = i + 1;
            while (end < sql.size() && continuesWord(sql[end]))
                ++end;
            add(Kind::Word, end);
        } else if (isDigit(c) || (c == u'.' && i + 1 < sql.size() && isDigit(sql[i + 1]))) {
            add(Kind::Number, numberEnd(sql, i));
        } else if (c == u'\'' || c == u'"') {
            add(Kind::Text, closingQuote(sql, i, c, "a text"));
        } else if (c == u'[') {
            add(Kind::Name, bracketedSelect(sql, i) ? closingBracket(sql, i) : closingQuote(sql, i, u']', "a name in brackets"));
        } else if (c == u'`') {
            add(Kind::Name, closingQuote(sql, i, u'`', "a name in back quotes"));
        } else if (c == u'#') {
            const qsizetype end = sql.indexOf(u'#', i + 1);
            if (end < 0)
                refuse(QStringLiteral("a date that is never closed"), i);
            add(Kind::Date, end + 1);
        } else if (const qsizetype length = symbolLength(sql, i)) {
            add(Kind::Symbol, i + length);
        } else {
            refuse(QStringLiteral("the character '%1'").arg(c), i);
        }
    }
    tokens.push_back({Kind::End, sql.last(0), sql.size()});
    return tokens;
}

QString AccessSqlLexer::textValue(const AccessSqlToken &token)
{
    const QChar quote = token.text.front();
    const QStringView inner = token.text.sliced(1, token.text.size() - 2);
    QString value;
    value.reserve(inner.size());
    for (qsizetype i = 0; i < inner.size(); ++i) {
        value += inner[i];
        if (inner[i] == quote)
            ++i;
    }
    return value;
}

QStringView AccessSqlLexer::nameOf(const AccessSqlToken &token)
{
    if (token.kind == Kind::Name)
        return token.text.sliced(1, token.text.size() - 2);
    return token.text;
}

} // namespace morvane
