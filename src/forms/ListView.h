#pragma once

#include <QTreeWidget>

namespace morvane {

// A report-style list: one row per item, one column per header. Columns are
// measured in twips, read back as the header reports them.
class ListView : public QTreeWidget
{
    Q_OBJECT

public:
    explicit ListView(QWidget *parent);

    void clearItems();
    [[nodiscard]] int itemCount() const { return topLevelItemCount(); }

    void clearColumns();
    // Appends one column per caption, in order, with one change of the header.
    void addColumns(const QStringList &captions);
    [[nodiscard]] int columnCount() const { return m_columns; }
    [[nodiscard]] float columnWidth(int column) const;
    void setColumnWidth(int column, float twips);

private:
    int m_columns = 0;
};

} // namespace morvane
