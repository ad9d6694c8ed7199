#pragma once

#include "EditableText.h"
#include "WrappedLines.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QHash>
#include <QTextLayout>



namespace morvane {

// A multi-line box for a statement. It keeps the text as one string and lays
// out only the lines on screen, so pasting megabytes (a line with no space in
// it, a statement that ends in a long comment) returns at once, where a text
// document lays out and shapes the whole paragraph first. Lines wrap at the
// box's width; Tab moves the focus on; undo, the clipboard, the mouse and
// input methods work as in any other text box.
class StatementBox : public QAbstractScrollArea
{
    Q_OBJECT

public:
    explicit StatementBox(QWidget *parent);
    ~StatementBox() override;

    [[nodiscard]] const QString &toPlainText() const { return m_edit.text(); }
    // Replaces the text, forgetting what could be undone.
    void setPlainText(const QString &text);
    // Replaces the selection with `text`, as typing it would.
    void insertPlainText(const QString &text);
    void clear() { setPlainText({}); }

    [[nodiscard]] qsizetype cursorPosition() const { return m_edit.cursor(); }
    void setCursorPosition(qsizetype position, bool keepSelection = false);
    [[nodiscard]] QString selectedText() const { return m_edit.selectedText(); }
    [[nodiscard]] qsizetype selectionStart() const { return m_edit.selectionStart(); }
    [[nodiscard]] qsizetype selectionEnd() const { return m_edit.selectionEnd(); }
    void setSelection(qsizetype anchor, qsizetype cursor);
    void selectAll();
    // Replaces `length` units at `position` with `text`, as one change to undo.
    void replaceText(qsizetype position, qsizetype length, const QString &text);

    // Where the character at `position` shows, and the position nearest to
    // `point`, both in the viewport's coordinates.
    [[nodiscard]] QRect characterRect(qsizetype position) const;
    [[nodiscard]] qsizetype positionAt(QPoint point) const;

    [[nodiscard]] qreal tabStopDistance() const { return m_lines.tabStopDistance(); }

    void undo();
    void redo();
    void cut();
    void copy() const;
    void paste();

Q_SIGNALS:
    void textChanged();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    [[nodiscard]] const QString &text() const { return m_edit.text(); }
    // Lays out, shows and announces a change of the text, if there was one.
    void changed(const std::optional<EditableText::Change> &change);
    void cursorMoved();
    void announceCursor();
    // Ends what an input method is composing: committed if it can, else dropped.
    void finishComposition();
    void dropComposition();
    bool handleStandardKey(QKeyEvent *event);
    bool handleMove(QKeyEvent *event);

    [[nodiscard]] qsizetype lastPosition(qsizetype line) const;
    [[nodiscard]] qsizetype endOfLine(qsizetype line) const;
    [[nodiscard]] Qt::LayoutDirection directionOf(qsizetype line) const;
    [[nodiscard]] qsizetype positionInLine(qsizetype line, qreal x) const;
    [[nodiscard]] qsizetype lineMove(qsizetype lines);

    void relayout();
    void showScrollBarIfSurelyNeeded();
    void updateScrollRange();
    void ensureCursorVisible();
    void restartBlink();

    [[nodiscard]] int lineHeight() const;
    [[nodiscard]] int visibleLineCount() const;
    [[nodiscard]] qsizetype firstVisibleLine() const;
    [[nodiscard]] QPointF lineOrigin(qsizetype line) const;
    // Lays out `line` alone; on the cursor's line, with what an input method
    // is composing shown at the cursor when `withComposition` is set.
    void layOutLine(QTextLayout &layout, qsizetype line, bool withComposition = false) const;
    [[nodiscard]] qreal xOf(qsizetype position) const;
    [[nodiscard]] QRect cursorRect() const;
    [[nodiscard]] int cursorWidth() const;

    EditableText m_edit;
    WrappedLines m_lines;
    qreal m_wrapWidth = -1;
    // The direction of each paragraph laid out since the text last changed,
    // by where it starts.
    mutable QHash<qsizetype, Qt::LayoutDirection> m_directions;
    // Where Up and Down aim, kept across short lines.
    qreal m_goalX = -1;
    QBasicTimer m_blink;
    // What an input method is composing, not yet part of the text.
    QString m_composition;
    int m_compositionCursor = 0;
    bool m_compositionCursorShown = true;
    // How the input method wants the composition shown (underlined, the
    // segment being converted highlighted), relative to its start.
    QList<QTextLayout::FormatRange> m_compositionFormats;
    // The selection screen readers were last told of.
    std::pair<qsizetype, qsizetype> m_announcedSelection{0, 0};
    bool m_cursorShown = false;
    bool m_selectingWithMouse = false;
    bool m_relayingOut = false;
};

} // namespace morvane
