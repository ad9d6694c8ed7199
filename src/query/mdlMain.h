#pragma once

#include "Database.h"
#include "FieldValue.h"

#include <QString>
#include <QStringView>

#include <memory>

namespace morvane {

// Opens a result set for `sql`. The engine's failure passes to the caller
// unchanged.
[[nodiscard]] std::unique_ptr<Recordset> OpenQuery(Database &database, const QString &sql);

// The text before the first occurrence of `delimiter`, or all of `text` when
// there is none. Exact, case-sensitive search; returns a view into `text`.
[[nodiscard]] QStringView TextBefore(QStringView text, QStringView delimiter);

// The text after the first occurrence of `delimiter`, or the empty text when
// there is none.
[[nodiscard]] QStringView TextAfter(QStringView text, QStringView delimiter);

// Removes leading and trailing U+0020 only: tabs and line breaks stay.
[[nodiscard]] QStringView TrimSpaces(QStringView text);

// The text a field value shows in the result grid: "Null" for Null.
[[nodiscard]] QString FieldText(const FieldValue &value);

// Whether a count takes the plural wording. Only positive numbers ending in 1
// but not in 11 are singular.
[[nodiscard]] bool IsPlural(qint16 count);

} // namespace morvane
