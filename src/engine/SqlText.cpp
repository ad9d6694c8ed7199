#include "SqlText.h"

namespace morvane {

namespace {

// The position just after the quoted text that starts at `from`, or the end of
// `sql` when the quote is never closed. A doubled closing quote is part of it.
qsizetype skipQuoted(QStringView sql, qsizetype from, QChar close)
{
    qsizetype i = from + 1;
    while (i < sql.size()) {
        if (sql[i] == close) {
            if (close != u']' && i + 1 < sql.size() && sql[i + 1] == close) {
                i += 2;
                continue;
            }
            return i + 1;
        }
        ++i;
    }
    return sql.size();
}

qsizetype skipLineComment(QStringView sql, qsizetype from)
{
    const qsizetype end = sql.indexOf(u'\n', from);
    return end < 0 ? sql.size() : end + 1;
}

qsizetype skipBlockComment(QStringView sql, qsizetype from)
{
    const qsizetype end = sql.indexOf(u"*/", from + 2);
    return end < 0 ? sql.size() : end + 2;
}

bool startsWith(QStringView sql, qsizetype at, char16_t first, char16_t second)
{
    return at + 1 < sql.size() && sql[at] == first && sql[at + 1] == second;
}

} // namespace

QStringView SqlText::withoutTrailingTrivia(QStringView sql)
{
    qsizetype lastTokenEnd = 0;
    qsizetype i = 0;
    while (i < sql.size()) {
        const QChar c = sql[i];
        if (c.isSpace() || c == u';') {
            ++i;
        } else if (startsWith(sql, i, u'-', u'-')) {
            i = skipLineComment(sql, i);
        } else if (startsWith(sql, i, u'/', u'*')) {
            i = skipBlockComment(sql, i);
        } else if (c == u'\'' || c == u'"' || c == u'`') {
            i = lastTokenEnd = skipQuoted(sql, i, c);
        } else if (c == u'[') {
            i = lastTokenEnd = skipQuoted(sql, i, u']');
        } else {
            lastTokenEnd = ++i;
        }
    }
    return sql.first(lastTokenEnd);
}

} // namespace morvane
