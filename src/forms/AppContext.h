#pragma once

#include "EngineTimeouts.h"

#include <memory>

namespace morvane {

class Database;
class DatabaseThread;
class SettingsStore;

// What the windows work with, handed to them by the program (or a test): the
// remembered settings, the thread that runs every engine call, the owner of
// the open database, and how long things may take.
struct AppContext
{
    SettingsStore &settings;
    DatabaseThread &databaseThread;
    std::unique_ptr<Database> &database;
    EngineTimeouts timeouts;
    // How long a run may take before its progress window with Cancel shows.
    int progressDelayMs;
};

} // namespace morvane
