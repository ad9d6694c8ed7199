#pragma once

struct sqlite3;

namespace morvane {

// Access's Format(value[, format]), in the United States English that
// Access's SQL itself speaks: the named formats (General Number, Currency,
// Fixed, Standard, Percent, Scientific, Yes/No, True/False, On/Off,
// General Date, Long Date, Medium Date, Short Date, Long Time, Medium Time,
// Short Time) and custom ones: numbers with 0 # . , % E+ and up to four
// sections (positive;negative;zero;Null), dates with d dd ddd dddd m mm mmm
// mmmm (minutes after h) y yy yyyy q w ww h hh n nn s ss AM/PM A/P, texts
// with @ < >; "quoted" and \escaped characters stand for themselves.
class AccessFormatFunction
{
public:
    static void install(sqlite3 *db);
};

} // namespace morvane
