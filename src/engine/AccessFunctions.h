#pragma once

struct sqlite3;

namespace morvane {

// Everything the SQL of an Access file relies on, installed on the SQLite
// connection that answers it: the text collation and Like
// (AccessTextCollation), Access's operators (AccessOperators), aggregates
// (AccessAggregates) and functions by theme (text, dates, conversions,
// numbers, Format). They follow Access: a Null argument gives Null where
// Access gives Null, and a wrong argument fails the statement with Access's
// wording ("Type mismatch in Mid()"). SQLite's own functions stay available
// beside them; where a name is both (Round, Replace, Format, Log, Like),
// Access's meaning wins.
class AccessFunctions
{
public:
    // Failure when SQLite refuses one of them.
    static void install(sqlite3 *db);
};

} // namespace morvane
