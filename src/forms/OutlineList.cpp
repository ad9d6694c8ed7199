#include "OutlineList.h"

#include "Design.h"
#include "OutlineModel.h"

#include <QEvent>
#include <QHeaderView>

namespace morvane {

namespace {

QFont boldOf(QFont font)
{
    font.setBold(true);
    return font;
}

} // namespace

OutlineList::OutlineList(QWidget *parent) : QTreeView(parent), m_model(new OutlineModel(this))
{
    m_model->setBoldFont(boldOf(font()));
    setModel(m_model);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    // Every line is as high as the first, so a long outline is never measured line by line.
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHeaderHidden(true);
    header()->setStretchLastSection(false);
    header()->setMinimumSectionSize(1);
}

void OutlineList::setItems(QList<OutlineItem> items)
{
    m_model->setItems(std::move(items));
}

int OutlineList::itemCount() const
{
    return m_model->rowCount();
}

OutlineItem OutlineList::item(int row) const
{
    const QModelIndex index = m_model->index(row);
    return {index.data().toString(), index.data(Qt::FontRole).value<QFont>().bold()};
}

void OutlineList::changeEvent(QEvent *event)
{
    QTreeView::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        m_model->setBoldFont(boldOf(font()));
}

float OutlineList::columnWidth() const
{
    return Twips(this).fromPixels(QTreeView::columnWidth(0));
}

void OutlineList::setColumnWidth(float twips)
{
    QTreeView::setColumnWidth(0, Twips(this).toPixels(twips));
}

} // namespace morvane
