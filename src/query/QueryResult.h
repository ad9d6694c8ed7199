#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace morvane {

// What one Get hands to the window: the grid's columns and rows as they are
// shown, the count message, and the failure that ended the run, if any.
struct QueryResult
{
    // One header per column; none when the statement yielded no rows.
    QStringList headers;
    // The cells' display texts, row after row, trimmed of outer spaces.
    std::vector<QString> cells;
    // Which cells hold Null, in the same order.
    std::vector<bool> nulls;
    int rowCount = 0;
    // The label's new text; none when the run failed before it knew one.
    std::optional<QString> countMessage;
    // Why the run ended early; the rows read before it are still shown.
    std::optional<QString> failure;

    // The most of a cell's text that the grid draws: the start of a longer
    // text already fills the widest column, unless its characters take no
    // room at all.
    static constexpr qsizetype shownLength = 256;

    [[nodiscard]] int columnCount() const { return int(headers.size()); }
    [[nodiscard]] const QString &text(int row, int column) const { return cells[cellIndex(row, column)]; }
    // The start of the cell's text that the grid draws.
    [[nodiscard]] QString shownText(int row, int column) const
    {
        const QString &whole = text(row, column);
        return whole.size() <= shownLength ? whole : whole.first(shownLength);
    }
    [[nodiscard]] bool isNull(int row, int column) const { return nulls[cellIndex(row, column)]; }

private:
    [[nodiscard]] std::size_t cellIndex(int row, int column) const
    {
        return std::size_t(row) * std::size_t(headers.size()) + std::size_t(column);
    }
};

} // namespace morvane
