#pragma once

struct sqlite3;

namespace morvane {

// Access's conversions and tests of values: CStr, CInt, CLng, CDbl, CCur,
// CDate, CBool, Val, Str, IsNull, IsNumeric, IsDate; and the choices IIf,
// Nz, Switch and Choose. CInt, CLng and CCur round half to even (CInt(2.5)
// is 2), CCur keeps four decimals; out of range is Access's "Overflow".
// True is -1.
class AccessConversionFunctions
{
public:
    static void install(sqlite3 *db);
};

} // namespace morvane
