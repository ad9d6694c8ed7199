#include "OutlineModel.h"

namespace morvane {

OutlineModel::OutlineModel(QObject *parent) : QAbstractListModel(parent)
{
}

void OutlineModel::setItems(QList<OutlineItem> items)
{
    beginResetModel();
    m_items = std::move(items);
    endResetModel();
}

int OutlineModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

QVariant OutlineModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_items.size())
        return {};
    const OutlineItem &item = m_items[index.row()];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return item.text;
    case Qt::FontRole:
        return item.bold ? QVariant(m_bold) : QVariant();
    default:
        return {};
    }
}

} // namespace morvane
