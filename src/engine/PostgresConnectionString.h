#pragma once

#include <QString>

namespace morvane {

class PostgresClientLibrary;

// Tells a server's connection string from a file path, and what of it may be
// remembered, without loading libpq for a path that is plainly a file: only
// text that reads as key/value options and names no existing file is handed
// to libpq's own parser in the PostgreSQL module.
class PostgresConnectionString
{
public:
    // A libpq URI, or text with '=' that libpq parses as key/value options
    // and that names no existing file. Options that cannot be checked
    // because the module cannot be loaded count as a connection string, so
    // that opening them says what is missing.
    [[nodiscard]] static bool isConnectionString(const QString &path, PostgresClientLibrary &library);

    // The connection string as typed, less its password and any other secret
    // option, for remembering it on disk; a file path unchanged. Empty when
    // the module that knows libpq's secret options cannot be loaded.
    [[nodiscard]] static QString withoutPassword(const QString &connection, PostgresClientLibrary &library);

    // `message` with every part of `typed` that may be a password masked:
    // whatever follows "password=" in any letter case, and a URI's user-info
    // password, whole and piece by piece, whether or not libpq could parse
    // `typed`. Errs on the side of masking too much.
    [[nodiscard]] static QString withoutSecrets(QString message, const QString &typed);
};

} // namespace morvane
