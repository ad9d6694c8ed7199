// The entry point of the PostgreSQL module: built into the module only, never
// into the program.
#include "PostgresBackend.h"

#include "PostgresDatabase.h"

namespace {

std::unique_ptr<morvane::Database> connect(const QString &connection, const morvane::EngineTimeouts &timeouts,
                                           const std::atomic_bool *cancelled)
{
    return std::make_unique<morvane::PostgresDatabase>(connection, timeouts, cancelled);
}

} // namespace

extern "C" __attribute__((visibility("default"))) const morvane::PostgresBackend *morvane_postgres_backend()
{
    static const morvane::PostgresBackend backend{
        morvane::PostgresBackend::currentVersion,
        &morvane::PostgresDatabase::isConnectionString,
        &morvane::PostgresDatabase::withoutPassword,
        &connect,
    };
    return &backend;
}
