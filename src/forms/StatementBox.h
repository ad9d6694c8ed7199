#pragma once

#include "WrappedLines.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>

#include <vector>

class QTextLayout;

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

    [[nodiscard]] const QString &toPlainText() const { return m_text; }
    // Replaces the text, forgetting what could be undone.
    void setPlainText(const QString &text);
    // Replaces the selection with `text`, as typing it would.
    void insertPlainText(const QString &text);
    void clear() { setPlainText({}); }

    [[nodiscard]] qsizetype cursorPosition() const { return m_cursor; }
    void setCursorPosition(qsizetype position, bool keepSelection = false);
    [[nodiscard]] QString selectedText() const;
    [[nodiscard]] qsizetype selectionStart() const { return std::min(m_anchor, m_cursor); }
    [[nodiscard]] qsizetype selectionEnd() const { return std::max(m_anchor, m_cursor); }
    void setSelection(qsizetype anchor, qsizetype cursor);
    void selectAll();
    // Replaces `length` units at `position` with `text`, as one change to undo.
    void replaceText(qsizetype position, qsizetype length, const QString &text);

    // Where the character at `position` shows, and the position nearest to
    // `point`, both in the viewport's coordinates.
    [[nodiscard]] QRect characterRect(qsizetype position) const;
    [[nodiscard]] qsizetype positionAt(QPoint point) const;

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
    struct Edit
    {
        qsizetype position;
        QString removed;
        QString inserted;
        bool typed;
    };

    void replace(qsizetype position, qsizetype length, const QString &text, bool typed);
    void apply(const Edit &edit, bool backwards);
    bool handleStandardKey(QKeyEvent *event);
    bool handleMove(QKeyEvent *event);
    void removeSelectionOr(qsizetype from, qsizetype to);
    [[nodiscard]] bool hasSelection() const { return m_anchor != m_cursor; }

    [[nodiscard]] qsizetype nextCharacter(qsizetype position) const;
    [[nodiscard]] qsizetype previousCharacter(qsizetype position) const;
    [[nodiscard]] qsizetype nextWord(qsizetype position) const;
    [[nodiscard]] qsizetype previousWord(qsizetype position) const;
    [[nodiscard]] qsizetype lastPosition(qsizetype line) const;
    [[nodiscard]] qsizetype positionInLine(qsizetype line, qreal x) const;
    [[nodiscard]] qsizetype lineMove(qsizetype lines);

    void relayout();
    void updateScrollRange();
    void ensureCursorVisible();
    void restartBlink();
    void selectionChanged();

    [[nodiscard]] int lineHeight() const;
    [[nodiscard]] int visibleLineCount() const;
    [[nodiscard]] qsizetype firstVisibleLine() const;
    [[nodiscard]] QPointF lineOrigin(qsizetype line) const;
    void layOutLine(QTextLayout &layout, qsizetype line) const;
    [[nodiscard]] qreal xOf(qsizetype position) const;
    [[nodiscard]] QRect cursorRect() const;

    QString m_text;
    WrappedLines m_lines;
    qreal m_wrapWidth = -1;
    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;
    // Where Up and Down aim, kept across short lines.
    qreal m_goalX = -1;
    std::vector<Edit> m_undo;
    std::vector<Edit> m_redo;
    QBasicTimer m_blink;
    bool m_cursorShown = false;
    bool m_selectingWithMouse = false;
    bool m_relayingOut = false;
};

} // namespace morvane
