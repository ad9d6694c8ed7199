#include "ResultModel.h"

#include <QColor>

namespace morvane {

namespace {

// Colour word 255 (0x00BBGGRR): pure red marks Null values.
const QColor nullColour(255, 0, 0);

} // namespace

ResultModel::ResultModel(QObject *parent) : QAbstractTableModel(parent) {}

void ResultModel::clear()
{
    setResult(QueryResult());
}

void ResultModel::setResult(QueryResult result)
{
    beginResetModel();
    m_result = std::move(result);
    endResetModel();
}

int ResultModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_result.rowCount;
}

int ResultModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_result.columnCount();
}

QVariant ResultModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return m_result.shownText(index.row(), index.column());
    case Qt::ToolTipRole:
        return m_result.text(index.row(), index.column());
    case Qt::ForegroundRole:
        return m_result.isNull(index.row(), index.column()) ? QVariant(nullColour) : QVariant();
    default:
        return {};
    }
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= m_result.columnCount())
        return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return m_result.headers[section];
    return {};
}

} // namespace morvane
