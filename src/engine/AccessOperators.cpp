#include "AccessOperators.h"

#include "AccessValue.h"

#include <sqlite3.h>

#include <cmath>

namespace morvane {

namespace {

using V = AccessValue;

void concat(sqlite3_context *context, int argc, sqlite3_value **argv)
{
    QByteArray joined;
    bool any = false;
    for (int i = 0; i < argc; ++i) {
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL)
            continue;
        any = true;
        joined.append(reinterpret_cast<const char *>(sqlite3_value_text(argv[i])), sqlite3_value_bytes(argv[i]));
    }
    if (any)
        sqlite3_result_text(context, joined.constData(), int(joined.size()), SQLITE_TRANSIENT);
    else
        sqlite3_result_null(context);
}

bool isNumber(sqlite3_value *value)
{
    const int type = sqlite3_value_type(value);
    return type == SQLITE_INTEGER || type == SQLITE_FLOAT;
}

// Whole numbers stay whole unless they overflow.
void resultSum(sqlite3_context *context, sqlite3_value *a, sqlite3_value *b, bool subtract)
{
    if (sqlite3_value_type(a) == SQLITE_INTEGER && sqlite3_value_type(b) == SQLITE_INTEGER) {
        sqlite3_int64 result = 0;
        const bool overflowed = subtract ? __builtin_sub_overflow(sqlite3_value_int64(a), sqlite3_value_int64(b), &result)
                                         : __builtin_add_overflow(sqlite3_value_int64(a), sqlite3_value_int64(b), &result);
        if (!overflowed) {
            sqlite3_result_int64(context, result);
            return;
        }
    }
    const double x = sqlite3_value_double(a);
    const double y = sqlite3_value_double(b);
    sqlite3_result_double(context, subtract ? x - y : x + y);
}

// A date moved by a number of days (with its fraction, the time).
bool resultMovedDate(sqlite3_context *context, sqlite3_value *date, double days)
{
    const std::optional<V::DateTime> moment = V::dateOf(date);
    if (!moment)
        return false;
    const std::optional<V::DateTime> moved = V::fromSerial(V::serialOf(*moment) + days);
    if (!moved)
        return false;
    V::resultText(context, V::textOfDate(*moved));
    return true;
}

// Both operands as numbers, or a failure reported; nothing for a Null.
bool operands(sqlite3_context *context, sqlite3_value **argv, double &x, double &y, const char *op)
{
    if (V::isNull(argv[0]) || V::isNull(argv[1])) {
        sqlite3_result_null(context);
        return false;
    }
    const std::optional<double> a = V::numberOf(argv[0]);
    const std::optional<double> b = V::numberOf(argv[1]);
    if (!a || !b) {
        V::fail(context, V::typeMismatch, op);
        return false;
    }
    x = *a;
    y = *b;
    return true;
}

void add(sqlite3_context *context, int, sqlite3_value **argv)
{
    sqlite3_value *a = argv[0];
    sqlite3_value *b = argv[1];
    if (V::isNull(a) || V::isNull(b)) {
        sqlite3_result_null(context);
        return;
    }
    const bool aText = sqlite3_value_type(a) == SQLITE_TEXT;
    const bool bText = sqlite3_value_type(b) == SQLITE_TEXT;
    if (aText && bText && !(V::looksLikeDate(a) && V::looksLikeDate(b))) {
        QByteArray joined(reinterpret_cast<const char *>(sqlite3_value_text(a)), sqlite3_value_bytes(a));
        joined.append(reinterpret_cast<const char *>(sqlite3_value_text(b)), sqlite3_value_bytes(b));
        sqlite3_result_text(context, joined.constData(), int(joined.size()), SQLITE_TRANSIENT);
        return;
    }
    if (V::looksLikeDate(a) && isNumber(b) && resultMovedDate(context, a, sqlite3_value_double(b)))
        return;
    if (V::looksLikeDate(b) && isNumber(a) && resultMovedDate(context, b, sqlite3_value_double(a)))
        return;
    if (isNumber(a) && isNumber(b)) {
        resultSum(context, a, b, false);
        return;
    }
    double x = 0;
    double y = 0;
    if (operands(context, argv, x, y, "+"))
        sqlite3_result_double(context, x + y);
}

void subtract(sqlite3_context *context, int, sqlite3_value **argv)
{
    sqlite3_value *a = argv[0];
    sqlite3_value *b = argv[1];
    if (V::isNull(a) || V::isNull(b)) {
        sqlite3_result_null(context);
        return;
    }
    if (V::looksLikeDate(a) && V::looksLikeDate(b)) {
        const auto x = V::dateOf(a);
        const auto y = V::dateOf(b);
        if (x && y) {
            sqlite3_result_double(context, V::serialOf(*x) - V::serialOf(*y));
            return;
        }
    }
    if (V::looksLikeDate(a) && isNumber(b) && resultMovedDate(context, a, -sqlite3_value_double(b)))
        return;
    if (isNumber(a) && isNumber(b)) {
        resultSum(context, a, b, true);
        return;
    }
    double x = 0;
    double y = 0;
    if (operands(context, argv, x, y, "-"))
        sqlite3_result_double(context, x - y);
}

void divide(sqlite3_context *context, int, sqlite3_value **argv)
{
    double x = 0;
    double y = 0;
    if (!operands(context, argv, x, y, "/"))
        return;
    if (y == 0) {
        sqlite3_result_error(context, "Division by zero", -1);
        return;
    }
    sqlite3_result_double(context, x / y);
}

// \ and Mod round their operands half to even first: 7.5 \ 2 is 4.
template<bool Remainder>
void wholeDivision(sqlite3_context *context, int, sqlite3_value **argv)
{
    double x = 0;
    double y = 0;
    if (!operands(context, argv, x, y, Remainder ? "Mod" : "\\"))
        return;
    x = std::nearbyint(x);
    y = std::nearbyint(y);
    if (std::fabs(x) > 9.0e18 || std::fabs(y) > 9.0e18) {
        V::fail(context, V::overflow, Remainder ? "Mod" : "\\");
        return;
    }
    const qint64 a = qint64(x);
    const qint64 b = qint64(y);
    if (b == 0) {
        sqlite3_result_error(context, "Division by zero", -1);
        return;
    }
    if (b == -1) {
        sqlite3_result_int64(context, Remainder ? 0 : -a);
        return;
    }
    sqlite3_result_int64(context, Remainder ? a % b : a / b);
}

void power(sqlite3_context *context, int, sqlite3_value **argv)
{
    double x = 0;
    double y = 0;
    if (!operands(context, argv, x, y, "^"))
        return;
    const double result = std::pow(x, y);
    if (!std::isfinite(result)) {
        V::fail(context, V::invalidCall, "^");
        return;
    }
    sqlite3_result_double(context, result);
}

const AccessValue::Function functions[] = {
    {"access_concat", -1, concat},
    {"access_add", 2, add},
    {"access_subtract", 2, subtract},
    {"access_divide", 2, divide},
    {"access_intdiv", 2, wholeDivision<false>},
    {"access_mod", 2, wholeDivision<true>},
    {"access_power", 2, power},
};

} // namespace

void AccessOperators::install(sqlite3 *db)
{
    AccessValue::install(db, functions, std::size(functions));
}

} // namespace morvane
