#include "AccessFunctions.h"

#include "AccessAggregates.h"
#include "AccessConversionFunctions.h"
#include "AccessDateFunctions.h"
#include "AccessFormatFunction.h"
#include "AccessMathFunctions.h"
#include "AccessOperators.h"
#include "AccessTextCollation.h"
#include "AccessTextFunctions.h"

namespace morvane {

void AccessFunctions::install(sqlite3 *db)
{
    AccessTextCollation::install(db);
    AccessOperators::install(db);
    AccessAggregates::install(db);
    AccessTextFunctions::install(db);
    AccessDateFunctions::install(db);
    AccessConversionFunctions::install(db);
    AccessMathFunctions::install(db);
    AccessFormatFunction::install(db);
}

} // namespace morvane
