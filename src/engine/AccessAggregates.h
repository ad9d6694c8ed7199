#pragma once

struct sqlite3;

namespace morvane {

// Access's aggregates that SQLite lacks: First and Last (the value of the
// first and last row of the group, Null included), StDev and Var (of a
// sample: Null below two values), StDevP and VarP (of the whole population:
// Null without values). Nulls do not count for the last four.
class AccessAggregates
{
public:
    // Failure when SQLite refuses one of them.
    static void install(sqlite3 *db);
};

} // namespace morvane
