#include "ResultGrid.h"

#include "Design.h"
#include "ResultModel.h"
#include "TextWidthBound.h"

#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTextDocument>
#include <QToolTip>

#include <algorithm>
#include <vector>

namespace morvane {

namespace {

// A value as spreadsheets read tab-separated text: one holding a tab, a line
// break or a quote goes in quotes, with its own quotes doubled.
QString spreadsheetField(const QString &text)
{
    const bool plain = std::none_of(text.cbegin(), text.cend(), [](QChar c) {
        return c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QLatin1Char('"');
    });
    if (plain)
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

void appendLine(QString &text, const QStringList &fields)
{
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            text += QLatin1Char('\t');
        text += spreadsheetField(fields[i]);
    }
    text += QLatin1Char('\n');
}

// A tooltip is rich text when it looks like markup; a cell's text never is.
// The Get keeps no more of a text than a tooltip can show.
QString toolTipFor(const QString &text)
{
    return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

} // namespace

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
    // Rows are selected for copying: Shift and Ctrl extend, Ctrl+A takes all.
    setSelectionMode(QAbstractItemView::ExtendedSelection);
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

void ResultGrid::setResult(QueryResult result)
{
    m_model->setResult(std::move(result));
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
        for (int column = 0; column < result.columnCount(); ++column) {
            const QString &text = result.text(row, column);
            // A long text is measured by what the grid draws of it, which
            // already goes past the bound: shaping all of it takes long.
            if (text.size() > QueryResult::shownLength && widenToBound(column, result.shownText(row, column), widths))
                continue;
            widen(column, text, widths);
        }
    }
}

bool ResultGrid::widenToBound(int column, const QString &start, Widths &widths)
{
    const auto pastBound = [&widths](int pixels) { return widths.twips.fromPixels(pixels) + widthMargin > maxCellWidth; };
    int lower = 0;
    int upper = 0;
    const bool bounded = m_widthBound->bound(start, lower, upper);
    if (!(bounded && pastBound(lower)) && !pastBound(widths.metrics.horizontalAdvance(start)))
        return false;
    setColumnWidth(column, maxCellWidth);
    widths.current[std::size_t(column)] = columnWidth(column);
    return true;
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

QString ResultGrid::selectedRowsText() const
{
    QModelIndexList selected = selectionModel()->selectedRows();
    if (selected.isEmpty())
        return {};
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    const QueryResult &result = m_model->result();
    QString text;
    appendLine(text, result.headers);
    QStringList fields;
    for (const QModelIndex &index : std::as_const(selected)) {
        fields.clear();
        for (int column = 0; column < result.columnCount(); ++column)
            fields.append(result.isNull(index.row(), column) ? QString() : result.text(index.row(), column));
        appendLine(text, fields);
    }
    return text;
}

bool ResultGrid::isCutOff(const QModelIndex &index) const
{
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    const QSize needed = itemDelegateForIndex(index)->sizeHint(option, index);
    return needed.width() > option.rect.width() || needed.height() > option.rect.height()
        || index.data(Qt::ToolTipRole).toString().size() > index.data().toString().size();
}

void ResultGrid::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        const QString text = selectedRowsText();
        if (!text.isEmpty())
            QGuiApplication::clipboard()->setText(text);
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

bool ResultGrid::viewportEvent(QEvent *event)
{
    if (event->type() != QEvent::ToolTip)
        return QTreeView::viewportEvent(event);
    const auto *help = static_cast<QHelpEvent *>(event);
    const QModelIndex index = indexAt(help->pos());
    if (index.isValid() && isCutOff(index))
        QToolTip::showText(help->globalPos(), toolTipFor(index.data(Qt::ToolTipRole).toString()), viewport(), visualRect(index));
    else
        QToolTip::hideText();
    return true;
}

} // namespace morvane
