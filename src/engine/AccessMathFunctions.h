#pragma once

#include <optional>

struct sqlite3;

namespace morvane {

// Access's numeric functions: Round (half to even: Round(2.5) is 2), Int
// (down: Int(-2.5) is -3), Fix (toward zero: Fix(-2.5) is -2), Sgn, Sqr,
// Exp and Log (natural). Whole numbers stay whole; Null gives Null.
class AccessMathFunctions
{
public:
    static void install(sqlite3 *db);

    // `value` rounded to `digits` decimals, a half to the even neighbour,
    // as Access's Round, CInt and CCur round.
    [[nodiscard]] static double roundHalfEven(double value, int digits = 0);
};

} // namespace morvane
