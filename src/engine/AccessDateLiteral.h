#pragma once

#include <QString>
#include <QStringView>

namespace morvane {

// Dates as Access's SQL reads them between hashes (#1/31/1995#) and as
// CDate and DateValue read texts: month first (#2/1/95# is the first of
// February), a first number above 12 taken as the day, ISO order when the
// year comes first, month names in English, two-digit years 30-99 in the
// 1900s and 00-29 in the 2000s, an optional time with AM/PM, or a time alone
// (on 1899-12-30, Access's day zero).
class AccessDateLiteral
{
public:
    // "YYYY-MM-DD", or "YYYY-MM-DD HH:MM:SS" when a time is given, as the
    // Access backend gives dates; empty when the text is no date.
    [[nodiscard]] static QString toIso(QStringView text);
};

} // namespace morvane
