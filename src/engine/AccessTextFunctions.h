#pragma once

struct sqlite3;

namespace morvane {

// Access's text functions: Len, Left, Right, Mid, UCase, LCase, Trim,
// LTrim, RTrim, InStr, InStrRev, Replace, StrComp, StrReverse, Space,
// String, Asc and Chr. Texts count UTF-16 units from 1, as Access does; a
// Null text gives Null. InStr, InStrRev, Replace and StrComp compare
// exactly unless their compare argument is 1 (text), which ignores case.
class AccessTextFunctions
{
public:
    static void install(sqlite3 *db);
};

} // namespace morvane
