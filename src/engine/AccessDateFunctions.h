#pragma once

struct sqlite3;

namespace morvane {

// Access's date functions: Now, Date, Time (local time), Year, Month, Day,
// Hour, Minute, Second, DateAdd, DateDiff, DatePart, DateSerial, DateValue,
// TimeSerial, Weekday and MonthName. Intervals are Access's: yyyy, q, m,
// y, d, w, ww, h, n, s. Weeks start on Sunday unless told otherwise
// (1 Sunday ... 7 Saturday). Dates come back as the backend writes them.
class AccessDateFunctions
{
public:
    static void install(sqlite3 *db);
};

} // namespace morvane
