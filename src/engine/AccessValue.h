#pragma once

#include <QDate>
#include <QString>

#include <optional>

struct sqlite3;
struct sqlite3_context;
struct sqlite3_value;

namespace morvane {

// What Access's functions on the SQLite connection share: reading
// arguments, giving results, failing with Access's wording, and dates as the
// Access backend writes them ("YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS") or as
// Access numbers them (days since 1899-12-30, the time as the fraction).
class AccessValue
{
public:
    using Implementation = void (*)(sqlite3_context *, int, sqlite3_value **);

    // One SQL function: its name, its number of arguments (-1 for any),
    // and whether the same arguments always give the same result.
    struct Function
    {
        const char *name;
        int arguments;
        Implementation implementation;
        bool deterministic = true;
    };

    struct DateTime
    {
        QDate date;
        int seconds = 0; // into the day
    };

    static constexpr const char *invalidCall = "Invalid procedure call or argument";
    static constexpr const char *typeMismatch = "Type mismatch";
    static constexpr const char *invalidNull = "Invalid use of Null";
    static constexpr const char *overflow = "Overflow";

    // Registers the functions; Failure when SQLite refuses one.
    static void install(sqlite3 *db, const Function *functions, std::size_t count);

    static void fail(sqlite3_context *context, const char *what, const char *function);
    [[nodiscard]] static bool isNull(sqlite3_value *value);
    [[nodiscard]] static QString textOf(sqlite3_value *value);
    static void resultText(sqlite3_context *context, QStringView text);
    static void resultBoolean(sqlite3_context *context, bool value);
    // A whole number as an integer, any other as a double.
    static void resultNumber(sqlite3_context *context, double value);

    // A number as Access reads one: numbers as they are, texts that look
    // like numbers (after spaces); nothing otherwise.
    [[nodiscard]] static std::optional<double> numberOf(sqlite3_value *value);
    // A whole number, rounded half to even as Access rounds.
    [[nodiscard]] static std::optional<qint64> wholeOf(sqlite3_value *value);
    // A count or position argument: Null, a non-number or one below `least`
    // fail the call with Access's wording and give nothing.
    [[nodiscard]] static std::optional<qint64> countArgument(sqlite3_context *context, sqlite3_value *value,
                                                             qint64 least, const char *function);

    // A date argument: a date text, a text Access reads as a date, or a
    // date number.
    [[nodiscard]] static std::optional<DateTime> dateOf(sqlite3_value *value);
    [[nodiscard]] static std::optional<DateTime> fromSerial(double serial);
    [[nodiscard]] static std::optional<DateTime> fromText(const QString &text);
    [[nodiscard]] static double serialOf(const DateTime &moment);
    // As the backend shows dates: the time left out at midnight.
    [[nodiscard]] static QString textOfDate(const DateTime &moment);
    // True for a text in the backend's date form.
    [[nodiscard]] static bool looksLikeDate(sqlite3_value *value);
};

} // namespace morvane
