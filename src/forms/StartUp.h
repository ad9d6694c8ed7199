#pragma once

namespace morvane {

struct AppContext;

// The program's start: shows the database selection dialog and returns. From
// then on the program runs in its windows' handlers and ends when the last
// window closes.
void Main(AppContext &context);

} // namespace morvane
