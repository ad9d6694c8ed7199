#include "AccessAggregates.h"

#include "AccessValue.h"
#include "Failure.h"

#include <sqlite3.h>

#include <cmath>

namespace morvane {

namespace {

struct Kept
{
    sqlite3_value *value;
    bool set;
};

template<bool Last>
void keepStep(sqlite3_context *context, int, sqlite3_value **argv)
{
    auto *kept = static_cast<Kept *>(sqlite3_aggregate_context(context, sizeof(Kept)));
    if (!kept)
        return;
    if (kept->set && !Last)
        return;
    sqlite3_value *copy = sqlite3_value_dup(argv[0]);
    if (!copy) {
        sqlite3_result_error_nomem(context);
        return;
    }
    sqlite3_value_free(kept->value);
    kept->value = copy;
    kept->set = true;
}

void keepFinal(sqlite3_context *context)
{
    auto *kept = static_cast<Kept *>(sqlite3_aggregate_context(context, 0));
    if (!kept || !kept->set) {
        sqlite3_result_null(context);
        return;
    }
    sqlite3_result_value(context, kept->value);
    sqlite3_value_free(kept->value);
    kept->value = nullptr;
}

// Welford's running mean and sum of squares: stable for large values.
struct Spread
{
    qint64 count;
    double mean;
    double squares;
};

void spreadStep(sqlite3_context *context, int, sqlite3_value **argv)
{
    auto *spread = static_cast<Spread *>(sqlite3_aggregate_context(context, sizeof(Spread)));
    if (!spread || AccessValue::isNull(argv[0]))
        return;
    const std::optional<double> x = AccessValue::numberOf(argv[0]);
    if (!x) {
        sqlite3_result_error(context, "Data type mismatch in criteria expression.", -1);
        return;
    }
    ++spread->count;
    const double delta = *x - spread->mean;
    spread->mean += delta / double(spread->count);
    spread->squares += delta * (*x - spread->mean);
}

template<bool Sample, bool Root>
void spreadFinal(sqlite3_context *context)
{
    const auto *spread = static_cast<Spread *>(sqlite3_aggregate_context(context, 0));
    const qint64 least = Sample ? 2 : 1;
    if (!spread || spread->count < least) {
        sqlite3_result_null(context);
        return;
    }
    const double variance = spread->squares / double(Sample ? spread->count - 1 : spread->count);
    sqlite3_result_double(context, Root ? std::sqrt(variance) : variance);
}

struct Aggregate
{
    const char *name;
    void (*step)(sqlite3_context *, int, sqlite3_value **);
    void (*final)(sqlite3_context *);
};

const Aggregate aggregates[] = {
    {"First", keepStep<false>, keepFinal},
    {"Last", keepStep<true>, keepFinal},
    {"StDev", spreadStep, spreadFinal<true, true>},
    {"StDevP", spreadStep, spreadFinal<false, true>},
    {"Var", spreadStep, spreadFinal<true, false>},
    {"VarP", spreadStep, spreadFinal<false, false>},
};

} // namespace

void AccessAggregates::install(sqlite3 *db)
{
    for (const Aggregate &aggregate : aggregates) {
        if (sqlite3_create_function_v2(db, aggregate.name, 1, SQLITE_UTF8 | SQLITE_INNOCUOUS, nullptr, nullptr,
                                       aggregate.step, aggregate.final, nullptr)
            != SQLITE_OK) {
            throw Failure(QString::fromUtf8(sqlite3_errmsg(db)));
        }
    }
}

} // namespace morvane
