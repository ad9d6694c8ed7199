#pragma once

#include "Outline.h"

#include <QTreeWidget>

namespace morvane {

// The outline beside the select box: one column of lines, the "Fields" and
// "Tables" headers in bold. Its column is measured in twips.
class OutlineList : public QTreeWidget
{
    Q_OBJECT

public:
    explicit OutlineList(QWidget *parent);

    // Replaces every line with `items`, in one change of the list.
    void show(const QList<OutlineItem> &items);
    [[nodiscard]] int itemCount() const { return topLevelItemCount(); }

    [[nodiscard]] float columnWidth() const;
    void setColumnWidth(float twips);
};

} // namespace morvane
