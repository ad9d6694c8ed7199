#include "OutlineList.h"

#include "Design.h"

#include <QHeaderView>

namespace morvane {

OutlineList::OutlineList(QWidget *parent) : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHeaderHidden(true);
    header()->setStretchLastSection(false);
    header()->setMinimumSectionSize(1);
    setColumnCount(1);
}

void OutlineList::show(const QList<OutlineItem> &items)
{
    clear();
    QList<QTreeWidgetItem *> lines;
    lines.reserve(items.size());
    QFont bold = font();
    bold.setBold(true);
    for (const OutlineItem &entry : items) {
        auto *line = new QTreeWidgetItem;
        line->setText(0, entry.text);
        if (entry.bold)
            line->setFont(0, bold);
        lines.append(line);
    }
    // Owned by the list from here on.
    addTopLevelItems(lines);
}

float OutlineList::columnWidth() const
{
    return Twips(this).fromPixels(QTreeWidget::columnWidth(0));
}

void OutlineList::setColumnWidth(float twips)
{
    QTreeWidget::setColumnWidth(0, Twips(this).toPixels(twips));
}

} // namespace morvane
