#pragma once

#include <QTreeView>

#include <memory>

namespace morvane {

class ResultModel;
class TextWidthBound;
struct QueryResult;

// The result grid: a report-style view over the rows of the last Get, with
// column widths in twips. Each column starts as wide as its header plus a
// margin, and widens to fit its cells up to a bound.
class ResultGrid : public QTreeView
{
    Q_OBJECT

public:
    static constexpr float widthMargin = 300;
    static constexpr float maxCellWidth = 4800;

    explicit ResultGrid(QWidget *parent);
    ~ResultGrid() override;

    void clear();
    void setResult(QueryResult result);

    [[nodiscard]] const ResultModel &rows() const { return *m_model; }
    [[nodiscard]] float columnWidth(int column) const;
    void setColumnWidth(int column, float twips);

    // The selected rows as a spreadsheet pastes them: a header line, then the
    // rows in grid order, cells separated by tabs, Null as an empty cell.
    // Empty when no row is selected. Ctrl+C puts this on the clipboard.
    [[nodiscard]] QString selectedRowsText() const;
    // Whether the cell's text does not fit its column (or row), or is longer
    // than the grid draws, so that its tooltip gives the text the Get kept.
    [[nodiscard]] bool isCutOff(const QModelIndex &index) const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool viewportEvent(QEvent *event) override;

private:
    struct Widths;

    void sizeColumns();
    void widen(int column, const QString &cellText, Widths &widths);
    // Sets the column to the bound when `start` alone goes past it.
    bool widenToBound(int column, const QString &start, Widths &widths);

    ResultModel *m_model;
    std::unique_ptr<TextWidthBound> m_widthBound;
};

} // namespace morvane
