#pragma once

#include "Outline.h"

#include <QTreeView>

namespace morvane {

class OutlineModel;

// The outline beside the select box: one column of lines, the "Fields" and
// "Tables" headers in bold. Its column is measured in twips.
class OutlineList : public QTreeView
{
    Q_OBJECT

public:
    explicit OutlineList(QWidget *parent);

    // Replaces every line with `items`, in one change of the list.
    void setItems(QList<OutlineItem> items);
    [[nodiscard]] int itemCount() const;
    // The line at `row`, as the list shows it.
    [[nodiscard]] OutlineItem item(int row) const;

    [[nodiscard]] float columnWidth() const;
    void setColumnWidth(float twips);

protected:
    void changeEvent(QEvent *event) override;

private:
    OutlineModel *m_model;
};

} // namespace morvane
