#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace morvane {

// One line of the outline list. Only the "Fields" and "Tables" headers are bold.
struct OutlineItem
{
    QString text;
    bool bold = false;

    friend bool operator==(const OutlineItem &, const OutlineItem &) = default;
};

// What the query window shows beside a select statement: the outline lines in
// order, and the output column names the result grid is built from.
struct Outline
{
    QList<OutlineItem> items;
    QStringList fields;
};

// Scans a select statement for its output columns and tables. This is a
// keyword-and-delimiter scan of the lower-cased text, not an SQL parser: odd
// statements give odd but harmless results, and anything that does not start
// with "select" gives an empty outline. Linear in the length of the text.
[[nodiscard]] Outline ParseOutline(QStringView statement);

} // namespace morvane

// A megabyte of statement gives hundreds of thousands of lines; growing the
// list then moves them as plain memory.
Q_DECLARE_TYPEINFO(morvane::OutlineItem, Q_RELOCATABLE_TYPE);
