#pragma once

#include "AppContext.h"
#include "Database.h"
#include "DatabaseThread.h"
#include "SettingsStore.h"

#include <memory>

namespace morvane::bench {

// What the program hands its windows, as a benchmark hands it: settings in
// the benchmark's own folder (create BenchEnvironment first), the database
// thread, the owner of the open database, and the program's own timeouts.
// One per benchmark program, made in main after QApplication; benchApp()
// finds it.
class BenchApp
{
public:
    BenchApp() : context{settings, thread, database, EngineTimeouts{}, 1000} { current() = this; }
    ~BenchApp() { current() = nullptr; }

    static BenchApp *&current()
    {
        static BenchApp *app = nullptr;
        return app;
    }

    SettingsStore settings;
    // As in the program: the thread stops before the database goes.
    std::unique_ptr<Database> database;
    DatabaseThread thread;
    AppContext context;
};

inline BenchApp &benchApp()
{
    return *BenchApp::current();
}

} // namespace morvane::bench
