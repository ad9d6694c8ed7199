#pragma once

#include <QString>

struct sqlite3;

namespace morvane {

// Access's common scalar functions, for the SQLite connection that answers
// select statements on an Access file: IIf, Nz, Len, Left, Right, Mid, UCase,
// LCase, Trim, LTrim, RTrim, InStr, Now, Date, Time, Year, Month, Day, Hour,
// Minute and Second. SQLite's own functions stay available beside them.
//
// They follow Access: texts count UTF-16 units from 1, a Null argument gives
// Null, and a wrong argument fails the statement with Access's wording.
// InStr compares exactly unless its fourth argument asks for a text
// comparison (1 or 2), which ignores letter case. Dates are the texts the
// Access backend produces ("YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DD", times alone
// as "HH:MM:SS") or Access date numbers (days since 1899-12-30). Now, Date
// and Time give local time, as Access does; SQLite's date() and time() with
// arguments are unchanged.
class AccessFunctions
{
public:
    // Failure when SQLite refuses one of them.
    static void install(sqlite3 *db);
};

} // namespace morvane
