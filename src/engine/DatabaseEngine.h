#pragma once

#include "Database.h"
#include "EngineTimeouts.h"
#include "PasswordPrompt.h"

#include <QString>

#include <atomic>
#include <memory>

namespace morvane {

class PostgresClientLibrary;

// Opens the database a path names. A server's connection string (a
// postgresql:// URI or libpq key/value options) connects to that server.
// Anything else is a file path, and the backend is chosen by what the file
// holds, not by its name: only a regular file whose first bytes carry a known
// signature is handed to a backend. Nothing is ever created. A file
// encrypted with a password is opened with what `askPassword` answers; without
// it, or when it declines, the open fails.
class DatabaseEngine
{
public:
    // No failure's description repeats a password the path holds. A server
    // connection that `cancelled` (may be null) stops is given up at once.
    [[nodiscard]] static std::unique_ptr<Database> openDatabase(const QString &path,
                                                                const EngineTimeouts &timeouts = {},
                                                                const PasswordPrompt &askPassword = {},
                                                                const std::atomic_bool *cancelled = nullptr);
    // The same with the PostgreSQL module loaded from where `postgres` says.
    [[nodiscard]] static std::unique_ptr<Database> openDatabase(const QString &path, const EngineTimeouts &timeouts,
                                                                PostgresClientLibrary &postgres,
                                                                const PasswordPrompt &askPassword = {},
                                                                const std::atomic_bool *cancelled = nullptr);

    // The path as it may be written to disk: a file path unchanged, a
    // connection string without its password.
    [[nodiscard]] static QString pathToRemember(const QString &path);

private:
    [[nodiscard]] static std::unique_ptr<Database> openBackend(const QString &path, const EngineTimeouts &timeouts,
                                                               PostgresClientLibrary &postgres,
                                                               const PasswordPrompt &askPassword,
                                                               const std::atomic_bool *cancelled);
};

} // namespace morvane
