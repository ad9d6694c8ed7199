#include "ListView.h"

#include "Design.h"

#include <QHeaderView>

namespace morvane {

ListView::ListView(QWidget *parent) : QTreeWidget(parent)
{
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
    QTreeWidget::setColumnCount(0);
}

void ListView::clearItems()
{
    clear();
}

void ListView::clearColumns()
{
    m_columns = 0;
    QTreeWidget::setColumnCount(0);
    setHeaderLabels({});
}

void ListView::addColumns(const QStringList &captions)
{
    if (captions.isEmpty())
        return;
    const int first = m_columns;
    m_columns += int(captions.size());
    QTreeWidget::setColumnCount(m_columns);
    for (int i = 0; i < int(captions.size()); ++i)
        headerItem()->setText(first + i, captions[i]);
}

float ListView::columnWidth(int column) const
{
    return Twips(this).fromPixels(QTreeWidget::columnWidth(column));
}

void ListView::setColumnWidth(int column, float twips)
{
    QTreeWidget::setColumnWidth(column, Twips(this).toPixels(twips));
}

} // namespace morvane
