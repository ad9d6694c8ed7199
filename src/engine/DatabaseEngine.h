#pragma once

#include "Database.h"
#include "EngineTimeouts.h"

#include <QString>

#include <memory>

namespace morvane {

// Opens the database a path names. The backend is chosen by what the file
// holds, not by its name: only a regular file whose first bytes carry a known
// signature is handed to a backend. Nothing is ever created.
class DatabaseEngine
{
public:
    [[nodiscard]] static std::unique_ptr<Database> openDatabase(const QString &path,
                                                                const EngineTimeouts &timeouts = {});
};

} // namespace morvane
