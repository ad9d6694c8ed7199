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

qsizetype SqlText::skipQuotedOrComment(QStringView sql, qsizetype at)
{
    const QChar c = sql[at];
    if (startsWith(sql, at, u'-', u'-'))
        return skipLineComment(sql, at);
    if (startsWith(sql, at, u'/', u'*'))
        return skipBlockComment(sql, at);
    if (c == u'\'' || c == u'"' || c == u'`')
        return skipQuoted(sql, at, c);
    if (c == u'[')
        return skipQuoted(sql, at, u']');
    return at;
}

QStringView SqlText::withoutTrailingTrivia(QStringView sql)
{
    qsizetype lastTokenEnd = 0;
    qsizetype i = 0;
    while (i < sql.size()) {
        const QChar c = sql[i];
        if (c.isSpace() || c == u';') {
            ++i;
            continue;
        }
        const qsizetype skipped = skipQuotedOrComment(sql, i);
        if (skipped == i) {
            lastTokenEnd = ++i;
            continue;
        }
        // A quoted string or name is a token; a comment is not.
        if (c != u'-' && c != u'/')
            lastTokenEnd = skipped;
        i = skipped;
    }
    return sql.first(lastTokenEnd);
}

QString SqlText::quotedName(QString name)
{
    return u'"' + name.replace(u'"', QStringLiteral("\"\"")) + u'"';
}

QString SqlText::quotedText(QString text)
{
    return u'\'' + text.replace(u'\'', QStringLiteral("''")) + u'\'';
}

} // namespace morvane
