#pragma once

#include <QAccessibleWidget>

namespace morvane {

class StatementBox;

// What a screen reader sees of a statement box: an editable multi-line text
// it can read, select in and change, and the changes and cursor moves as
// they happen.
class StatementBoxAccessible : public QAccessibleWidget,
                               public QAccessibleTextInterface,
                               public QAccessibleEditableTextInterface
{
public:
    explicit StatementBoxAccessible(StatementBox *box);

    // Makes the accessibility framework ask this class for statement boxes.
    static void install();
    // Announce a change of the text: `removed` replaced by `inserted` at
    // `position`; or the whole text set anew, where `removedLength` units were.
    static void textReplaced(StatementBox *box, qsizetype position, const QString &removed, const QString &inserted);
    static void textSet(StatementBox *box, qsizetype removedLength);
    // Announce the cursor, and the selection when it changed.
    static void cursorMoved(StatementBox *box, qsizetype anchor, qsizetype cursor, bool selectionChanged);

    // The most of a changed text an event carries: what a screen reader
    // speaks of a paste, without sending megabytes over the bus.
    static constexpr qsizetype announcedLength = 4096;

    void *interface_cast(QAccessible::InterfaceType type) override;
    [[nodiscard]] QAccessible::State state() const override;
    [[nodiscard]] QString text(QAccessible::Text type) const override;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    [[nodiscard]] int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    [[nodiscard]] int cursorPosition() const override;
    void setCursorPosition(int position) override;
    [[nodiscard]] QString text(int startOffset, int endOffset) const override;
    [[nodiscard]] int characterCount() const override;
    [[nodiscard]] QRect characterRect(int offset) const override;
    [[nodiscard]] int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    [[nodiscard]] QString attributes(int offset, int *startOffset, int *endOffset) const override;

    void deleteText(int startOffset, int endOffset) override;
    void insertText(int offset, const QString &text) override;
    void replaceText(int startOffset, int endOffset, const QString &text) override;

private:
    [[nodiscard]] StatementBox *box() const;
};

} // namespace morvane
