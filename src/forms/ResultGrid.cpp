#include "ResultGrid.h"

#include "Design.h"
#include "ResultModel.h"
#include "TextWidthBound.h"

#include <QFontMetrics>
#include <QHeaderView>

#include <vector>

namespace morvane {

// What sizing one Get's columns keeps: each column's width as the header
// reports it, read again after each change.
struct ResultGrid::Widths
{
    explicit Widths(const QWidget *grid) : metrics(grid->font()), twips(grid) {}

    QFontMetrics metrics;
    Twips twips;
    std::vector<float> current;
};

ResultGrid::ResultGrid(QWidget *parent) : QTreeView(parent), m_model(new ResultModel(this))
{
    setModel(m_model);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    // Widths are set in twips and must come out exactly as set.
    header()->setMinimumSectionSize(1);
}

ResultGrid::~ResultGrid() = default;

void ResultGrid::clear()
{
    m_model->clear();
}

void ResultGrid::show(QueryResult result)
{
    m_model->show(std::move(result));
    sizeColumns();
}

float ResultGrid::columnWidth(int column) const
{
    return Twips(this).fromPixels(QTreeView::columnWidth(column));
}

void ResultGrid::setColumnWidth(int column, float twips)
{
    QTreeView::setColumnWidth(column, Twips(this).toPixels(twips));
}

void ResultGrid::sizeColumns()
{
    const QueryResult &result = m_model->result();
    if (!m_widthBound || m_widthBound->font() != font())
        m_widthBound = std::make_unique<TextWidthBound>(font());
    Widths widths(this);
    // A header's own width has no upper bound.
    for (int column = 0; column < result.columnCount(); ++column) {
        const float header = widths.twips.fromPixels(widths.metrics.horizontalAdvance(result.headers[column]));
        setColumnWidth(column, header + widthMargin);
        widths.current.push_back(columnWidth(column));
    }
    for (int row = 0; row < result.rowCount; ++row) {
        for (int column = 0; column < result.columnCount(); ++column)
            widen(column, result.text(row, column), widths);
    }
}

void ResultGrid::widen(int column, const QString &cellText, Widths &widths)
{
    float &current = widths.current[std::size_t(column)];
    int lower = 0;
    int upper = 0;
    const bool bounded = m_widthBound->bound(cellText, lower, upper);
    if (bounded) {
        // The measured width lies between the bounds, so where one of them
        // already decides both comparisons below, measuring changes nothing.
        if (widths.twips.fromPixels(upper) + widthMargin <= std::min(current, maxCellWidth))
            return;
        if (widths.twips.fromPixels(lower) + widthMargin > maxCellWidth) {
            setColumnWidth(column, maxCellWidth);
            current = columnWidth(column);
            return;
        }
    }
    const int pixels = widths.metrics.horizontalAdvance(cellText);
    if (bounded)
        m_widthBound->confirm(pixels, lower, upper);
    // Both comparisons are strict: a cell that measures exactly the bound, or
    // exactly the current width, changes nothing.
    const float width = widths.twips.fromPixels(pixels) + widthMargin;
    if (width > maxCellWidth)
        setColumnWidth(column, maxCellWidth);
    else if (width > current)
        setColumnWidth(column, width);
    else
        return;
    current = columnWidth(column);
}

} // namespace morvane
