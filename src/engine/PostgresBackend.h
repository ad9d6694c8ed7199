#pragma once

#include "Database.h"
#include "EngineTimeouts.h"

#include <QString>

#include <atomic>
#include <memory>

namespace morvane {

// What the PostgreSQL module hands the program: the only way in to the code
// that links libpq, which the program loads only when a connection string is
// opened (PostgresClientLibrary). The module is built with the program, so
// plain C++ types cross; the version guards against a stale module left in
// the folder by an older build.
struct PostgresBackend
{
    static constexpr int currentVersion = 2;

    int version;
    // libpq's own rule: the text parses as a URI or as key/value options.
    bool (*isConnectionString)(const QString &path);
    QString (*withoutPassword)(const QString &connection);
    // Connects; an attempt that `cancelled` (may be null) stops is given up at once.
    std::unique_ptr<Database> (*connect)(const QString &connection, const EngineTimeouts &timeouts,
                                         const std::atomic_bool *cancelled);
};

} // namespace morvane

// The module's one exported symbol.
extern "C" const morvane::PostgresBackend *morvane_postgres_backend();
