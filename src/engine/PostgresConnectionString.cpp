#include "PostgresConnectionString.h"

#include "Failure.h"
#include "PostgresBackend.h"
#include "PostgresClientLibrary.h"

#include <QFileInfo>

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

} // namespace

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
