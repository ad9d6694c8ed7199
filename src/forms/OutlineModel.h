#pragma once

#include "Outline.h"

#include <QAbstractListModel>
#include <QFont>

namespace morvane {

// The lines of the outline as a list model: a statement of a few megabytes
// outlines to hundreds of thousands of lines, which the list then shows
// without making an item of each.
class OutlineModel : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit OutlineModel(QObject *parent);

    // Replaces every line with `items`, in one reset.
    void setItems(QList<OutlineItem> items);
    // The font of the bold headers; the other lines take the view's.
    void setBoldFont(const QFont &font) { m_bold = font; }

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;

private:
    QList<OutlineItem> m_items;
    QFont m_bold;
};

} // namespace morvane
