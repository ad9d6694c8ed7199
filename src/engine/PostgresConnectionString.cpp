#include "PostgresConnectionString.h"

#include "Failure.h"
#include "PostgresBackend.h"
#include "PostgresClientLibrary.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace morvane {

namespace {

bool isUri(QStringView text)
{
    // libpq recognises its URI prefixes in exactly this spelling.
    return text.startsWith(u"postgresql://") || text.startsWith(u"postgres://");
}

// libpq's option names are lower-case letters, digits and underscores, and
// the first one ends at '=' or white space before it: "/data/a=b.sqlite"
// cannot parse.
bool startsWithOptionName(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    const qsizetype nameStart = i;
    const auto inName = [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'_';
    };
    while (i < text.size() && inName(text[i]))
        ++i;
    if (i == nameStart)
        return false;
    while (i < text.size() && text[i].isSpace())
        ++i;
    return i < text.size() && text[i] == u'=';
}

// What may be a password in `typed`, whole: a value that follows a password
// option up to the end of the text, since an unquoted value with spaces ends
// nowhere libpq can tell; and a URI's user-info from its first ':' to the
// last '@', since a password may hold an '@' of its own.
QStringList secretsOf(const QString &typed)
{
    static const QRegularExpression option(QStringLiteral("password\\s*="), QRegularExpression::CaseInsensitiveOption);
    QStringList secrets;
    for (auto matches = option.globalMatch(typed); matches.hasNext();)
        secrets.append(typed.mid(matches.next().capturedEnd()).trimmed());
    if (isUri(typed)) {
        const qsizetype start = typed.indexOf(u"://") + 3;
        const qsizetype at = typed.lastIndexOf(u'@');
        const qsizetype colon = typed.indexOf(u':', start);
        if (colon >= 0 && colon < at)
            secrets.append(typed.mid(colon + 1, at - colon - 1));
    }
    return secrets;
}

// The secrets, their pieces as libpq may quote them (one word, one
// parameter, one side of an '@') and the percent-decoded forms, longest
// first so that a whole secret is masked before its pieces.
QStringList secretFragments(const QString &typed)
{
    static const QRegularExpression separators(QStringLiteral("[\\s'\"&@:/\\\\]+"));
    QStringList fragments;
    for (const QString &secret : secretsOf(typed)) {
        fragments.append(secret);
        fragments.append(secret.split(separators, Qt::SkipEmptyParts));
    }
    const qsizetype typedFragments = fragments.size();
    for (qsizetype i = 0; i < typedFragments; ++i)
        fragments.append(QString::fromUtf8(QByteArray::fromPercentEncoding(fragments[i].toUtf8())));
    fragments.removeAll(QString());
    fragments.removeDuplicates();
    std::stable_sort(fragments.begin(), fragments.end(),
                     [](const QString &a, const QString &b) { return a.size() > b.size(); });
    return fragments;
}

} // namespace

QString PostgresConnectionString::withoutSecrets(QString message, const QString &typed)
{
    static const QString mask = QStringLiteral("***");
    for (const QString &fragment : secretFragments(typed)) {
        // A piece of one or two letters is masked only where it stands as
        // a word, or it would mask letters of every other word.
        if (fragment.size() >= 3) {
            message.replace(fragment, mask);
        } else {
            const QString word = QStringLiteral("(?<!\\w)%1(?!\\w)").arg(QRegularExpression::escape(fragment));
            message.replace(QRegularExpression(word), mask);
        }
    }
    return message;
}

bool PostgresConnectionString::isConnectionString(const QString &path, PostgresClientLibrary &library)
{
    if (isUri(path))
        return true;
    if (!path.contains(u'=') || QFileInfo::exists(path) || !startsWithOptionName(path))
        return false;
    try {
        return library.backend().isConnectionString(path);
    } catch (const Failure &) {
        return true;
    }
}

QString PostgresConnectionString::withoutPassword(const QString &connection, PostgresClientLibrary &library)
{
    if (!isConnectionString(connection, library))
        return connection;
    try {
        return library.backend().withoutPassword(connection);
    } catch (const Failure &) {
        return {};
    }
}

} // namespace morvane
