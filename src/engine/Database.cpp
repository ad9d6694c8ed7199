#include "Database.h"

#include "Failure.h"

namespace morvane {

int Recordset::fieldIndex(QStringView name) const
{
    const int count = fieldCount();
    for (int i = 0; i < count; ++i) {
        if (name.compare(fieldName(i), Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

int Recordset::fieldsNamed(QStringView name) const
{
    int matches = 0;
    const int count = fieldCount();
    for (int i = 0; i < count; ++i) {
        if (name.compare(fieldName(i), Qt::CaseInsensitive) == 0)
            ++matches;
    }
    return matches;
}

FieldValue Recordset::value(QStringView name) const
{
    const int index = fieldIndex(name);
    if (index < 0)
        throw Failure(QStringLiteral("Item not found in this collection: %1").arg(name));
    return value(index);
}

} // namespace morvane
