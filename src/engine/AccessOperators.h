#pragma once

struct sqlite3;

namespace morvane {

// Access's operators where SQLite's differ, as functions the translated SQL
// calls: access_concat (&: Null as empty text, Null only when all are
// Null), access_add (+: texts joined, numbers added, a date moved by days),
// access_subtract (dates give days), access_divide (/ always divides
// exactly; by zero fails), access_intdiv (\) and access_mod (Mod) on
// operands rounded half to even, access_power (^). And access_top, the
// filter behind TOP n ... ORDER BY (see install()).
class AccessOperators
{
public:
    // access_top(n, directions, key...) is true for a row that can still be
    // among the first n in the order of its keys ('a' or 'd' per key in
    // directions), ties included: false once n rows already seen come
    // strictly before it. It keeps those n keys while the statement runs.
    // Failure when SQLite refuses one of them.
    static void install(sqlite3 *db);
};

} // namespace morvane
