#pragma once

#include "QueryResult.h"

#include <QAbstractTableModel>

namespace morvane {

// The result grid's rows: one block of at most a thousand rows, replaced as a
// whole by each Get. Null cells read "Null" in red. A cell shows the start of
// a long text; its tooltip role holds all the Get kept of it.
class ResultModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit ResultModel(QObject *parent);

    // Empties the grid: no rows, no columns.
    void clear();
    // Shows `result`, columns and rows at once.
    void setResult(QueryResult result);

    [[nodiscard]] const QueryResult &result() const { return m_result; }

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QueryResult m_result;
};

} // namespace morvane
