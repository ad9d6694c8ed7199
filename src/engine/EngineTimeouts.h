#pragma once

namespace morvane {

// How long the engine waits on things outside its control. The defaults suit
// a person at the keyboard; tests pass short ones.
struct EngineTimeouts
{
    // How long a statement waits for another program's lock on an SQLite file.
    int busyMs = 3000;
    // How long the Access reader may stay silent before it is taken for hung.
    int readerSilenceMs = 2000;
    // How long a server connection attempt may take, unless the connection
    // string sets its own connect_timeout.
    int connectSeconds = 10;
    // How long a server may leave a cancelled statement unanswered before
    // its connection is taken for dead and given up.
    int cancelGiveUpMs = 5000;
};

} // namespace morvane
