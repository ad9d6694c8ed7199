#include "AccessMathFunctions.h"

#include "AccessValue.h"

#include <sqlite3.h>

#include <cmath>

namespace morvane {

namespace {

using V = AccessValue;

// Reads the one number of a numeric function: false (with the result set)
// for Null or a value that is no number.
bool numberArgument(sqlite3_context *context, sqlite3_value *value, const char *function, double &number)
{
    if (V::isNull(value)) {
        sqlite3_result_null(context);
        return false;
    }
    const std::optional<double> read = V::numberOf(value);
    if (!read) {
        V::fail(context, V::typeMismatch, function);
        return false;
    }
    number = *read;
    return true;
}

void round(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    int digits = 0;
    if (argc > 1) {
        const std::optional<qint64> given = V::countArgument(context, argv[1], 0, "Round");
        if (!given)
            return;
        digits = int(std::min<qint64>(*given, 15));
    }
    double x = 0;
    if (!numberArgument(context, argv[0], "Round", x))
        return;
    if (sqlite3_value_type(argv[0]) == SQLITE_INTEGER) {
        sqlite3_result_int64(context, sqlite3_value_int64(argv[0]));
        return;
    }
    const double rounded = AccessMathFunctions::roundHalfEven(x, digits);
    if (digits == 0)
        V::resultNumber(context, rounded);
    else
        sqlite3_result_double(context, rounded);
}

template<double (*Whole)(double)>
void wholePart(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (sqlite3_value_type(argv[0]) == SQLITE_INTEGER) {
        sqlite3_result_int64(context, sqlite3_value_int64(argv[0]));
        return;
    }
    double x = 0;
    if (numberArgument(context, argv[0], "Int", x))
        V::resultNumber(context, Whole(x));
}

double floorOf(double x)
{
    return std::floor(x);
}

double truncOf(double x)
{
    return std::trunc(x);
}

void sgn(sqlite3_context *context, int, sqlite3_value **argv)
{
    double x = 0;
    if (numberArgument(context, argv[0], "Sgn", x))
        sqlite3_result_int(context, x > 0 ? 1 : x < 0 ? -1 : 0);
}

void sqr(sqlite3_context *context, int, sqlite3_value **argv)
{
    double x = 0;
    if (!numberArgument(context, argv[0], "Sqr", x))
        return;
    if (x < 0)
        V::fail(context, V::invalidCall, "Sqr");
    else
        sqlite3_result_double(context, std::sqrt(x));
}

void exp(sqlite3_context *context, int, sqlite3_value **argv)
{
    double x = 0;
    if (!numberArgument(context, argv[0], "Exp", x))
        return;
    const double result = std::exp(x);
    if (!std::isfinite(result))
        V::fail(context, V::overflow, "Exp");
    else
        sqlite3_result_double(context, result);
}

void log(sqlite3_context *context, int, sqlite3_value **argv)
{
    double x = 0;
    if (!numberArgument(context, argv[0], "Log", x))
        return;
    if (x <= 0)
        V::fail(context, V::invalidCall, "Log");
    else
        sqlite3_result_double(context, std::log(x));
}

const AccessValue::Function functions[] = {
    {"Round", 1, round},
    {"Round", 2, round},
    {"Int", 1, wholePart<floorOf>},
    {"Fix", 1, wholePart<truncOf>},
    {"Sgn", 1, sgn},
    {"Sqr", 1, sqr},
    {"Exp", 1, exp},
    {"Log", 1, log},
};

} // namespace

double AccessMathFunctions::roundHalfEven(double value, int digits)
{
    const double scale = std::pow(10.0, digits);
    const double scaled = value * scale;
    const double below = std::floor(scaled);
    // 0.125 * 100 is 12.499999999999998 in binary: a half within the
    // error of the scaling is a half.
    const double fraction = scaled - below;
    double rounded;
    if (std::fabs(fraction - 0.5) <= 1e-9 * std::max(1.0, std::fabs(scaled)))
        rounded = std::fmod(below, 2.0) == 0 ? below : below + 1;
    else
        rounded = std::round(scaled);
    return rounded / scale;
}

void AccessMathFunctions::install(sqlite3 *db)
{
    AccessValue::install(db, functions, std::size(functions));
}

} // namespace morvane
