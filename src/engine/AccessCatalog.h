#pragma once

#include "SavedQuery.h"

#include <QDir>
#include <QString>

#include <vector>

namespace morvane {

class SqliteConnection;

// What an Access file lists in its system table MSysObjects beside its own
// tables: its saved queries (type 5) and its links to tables kept elsewhere,
// in another Access file (type 6) or behind ODBC (type 4).
class AccessCatalog
{
public:
    struct Link
    {
        QString name;
        // The back end: a path for an Access link, the connection text for
        // an ODBC link.
        QString database;
        QString foreignName;
        bool odbc = false;
    };

    // A saved query that cannot be rebuilt still has a name users may try.
    struct Query
    {
        QString name;
        std::optional<SavedQuery> query;
        QString unreadable;
    };

    // Reads both system tables through `connection`, where they are tables
    // named MSysObjects and MSysQueries. A file without them has neither.
    static AccessCatalog read(SqliteConnection &connection, bool hasQueryTable);

    std::vector<Query> queries;
    std::vector<Link> links;

    // Record sources of forms and reports stay out of listings.
    [[nodiscard]] static bool isRecordSource(const QString &queryName);

    // The connection text without what gives a password away.
    [[nodiscard]] static QString withoutPassword(const QString &connection);

    // The file an Access link points to: its stored path if that exists,
    // else a file of the same name (letter case aside) in `frontEndFolder`;
    // empty when neither is found. Copied front ends keep Windows paths
    // (Z:\data\backend.accdb), so both separators end the folder part.
    [[nodiscard]] static QString findBackEnd(const QString &storedPath, const QDir &frontEndFolder);
    // The file's name without its folder, whichever separator the path uses.
    [[nodiscard]] static QString fileName(const QString &storedPath);
};

} // namespace morvane
