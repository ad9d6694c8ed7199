#pragma once

struct sqlite3;

namespace morvane {

// Access's operators where SQLite's differ, as functions the translated SQL
// calls: access_concat (&: Null as empty text, Null only when all are
// Null), access_add (+: texts joined, numbers added, a date moved by days),
// access_subtract (dates give days), access_divide (/ always divides
// exactly; by zero fails), access_intdiv (\) and access_mod (Mod) on
// operands rounded half to even, access_power (^).
class AccessOperators
{
public:
    // Failure when SQLite refuses one of them.
    static void install(sqlite3 *db);
};

} // namespace morvane
