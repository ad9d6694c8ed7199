#include "StatementBox.h"

#include "StatementBoxAccessible.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace morvane {

namespace {

constexpr int margin = 4;

// A key that types its text: printable characters, without Ctrl, Alt or Meta.
bool typesText(const QKeyEvent *event)
{
    const QString text = event->text();
    const bool plain = !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    return plain && !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c == u'\t' || (c.unicode() >= 0x20 && c.unicode() != 0x7f);
    });
}

// The keys that move the cursor, and whether each extends the selection.
struct Move
{
    QKeySequence::StandardKey key;
    bool select;
};

constexpr Move moves[] = {
    {QKeySequence::MoveToNextChar, false},        {QKeySequence::SelectNextChar, true},
    {QKeySequence::MoveToPreviousChar, false},    {QKeySequence::SelectPreviousChar, true},
    {QKeySequence::MoveToNextWord, false},        {QKeySequence::SelectNextWord, true},
    {QKeySequence::MoveToPreviousWord, false},    {QKeySequence::SelectPreviousWord, true},
    {QKeySequence::MoveToNextLine, false},        {QKeySequence::SelectNextLine, true},
    {QKeySequence::MoveToPreviousLine, false},    {QKeySequence::SelectPreviousLine, true},
    {QKeySequence::MoveToNextPage, false},        {QKeySequence::SelectNextPage, true},
    {QKeySequence::MoveToPreviousPage, false},    {QKeySequence::SelectPreviousPage, true},
    {QKeySequence::MoveToStartOfLine, false},     {QKeySequence::SelectStartOfLine, true},
    {QKeySequence::MoveToEndOfLine, false},       {QKeySequence::SelectEndOfLine, true},
    {QKeySequence::MoveToStartOfDocument, false}, {QKeySequence::SelectStartOfDocument, true},
    {QKeySequence::MoveToEndOfDocument, false},   {QKeySequence::SelectEndOfDocument, true},
};

constexpr QKeySequence::StandardKey editingKeys[] = {
    QKeySequence::SelectAll,         QKeySequence::Copy,           QKeySequence::Cut,
    QKeySequence::Paste,             QKeySequence::Undo,           QKeySequence::Redo,
    QKeySequence::Delete,            QKeySequence::DeleteStartOfWord, QKeySequence::DeleteEndOfWord,
    QKeySequence::DeleteEndOfLine,   QKeySequence::InsertParagraphSeparator, QKeySequence::InsertLineSeparator,
};

bool isHandledKey(QKeyEvent *event)
{
    const bool move = std::any_of(std::begin(moves), std::end(moves), [event](const Move &m) { return event->matches(m.key); });
    const bool edit = std::any_of(std::begin(editingKeys), std::end(editingKeys), [event](auto key) { return event->matches(key); });
    return move || edit || event->key() == Qt::Key_Backspace || typesText(event);
}

} // namespace

StatementBox::StatementBox(QWidget *parent) : QAbstractScrollArea(parent), m_lines(font())
{
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setCursor(Qt::IBeamCursor);
    StatementBoxAccessible::install();
    relayout();
}

StatementBox::~StatementBox() = default;

// ---- The text and its changes

void StatementBox::setPlainText(const QString &text)
{
    // What an input method was composing belongs to the text it replaces.
    if (!m_composition.isEmpty()) {
        QGuiApplication::inputMethod()->reset();
        dropComposition();
    }
    const qsizetype removed = m_edit.text().size();
    m_edit.setText(text);
    m_directions.clear();
    m_goalX = -1;
    m_wrapWidth = -1;
    relayout();
    verticalScrollBar()->setValue(0);
    viewport()->update();
    StatementBoxAccessible::textSet(this, removed);
    announceCursor();
    updateMicroFocus();
    Q_EMIT textChanged();
}

void StatementBox::insertPlainText(const QString &text)
{
    finishComposition();
    changed(m_edit.replaceSelection(text));
}

void StatementBox::replaceText(qsizetype position, qsizetype length, const QString &text)
{
    finishComposition();
    changed(m_edit.replace(position, length, text));
}

void StatementBox::undo()
{
    finishComposition();
    changed(m_edit.undo());
}

void StatementBox::redo()
{
    finishComposition();
    changed(m_edit.redo());
}

void StatementBox::changed(const std::optional<EditableText::Change> &change)
{
    if (!change)
        return;
    m_directions.clear();
    StatementBoxAccessible::textReplaced(this, change->position, change->removed, change->inserted);
    const qreal widthBefore = m_wrapWidth;
    showScrollBarIfSurelyNeeded();
    // Showing the scroll bar has broken the whole text anew.
    if (m_wrapWidth == widthBefore)
        m_lines.update(text(), change->position, change->removed.size(), change->inserted.size());
    m_goalX = -1;
    updateScrollRange();
    ensureCursorVisible();
    restartBlink();
    viewport()->update();
    announceCursor();
    updateMicroFocus();
    Q_EMIT textChanged();
}

// ---- Cursor and selection

void StatementBox::setCursorPosition(qsizetype position, bool keepSelection)
{
    m_edit.moveCursor(position, keepSelection);
    cursorMoved();
}

void StatementBox::setSelection(qsizetype anchor, qsizetype cursor)
{
    m_edit.select(anchor, cursor);
    cursorMoved();
}

void StatementBox::selectAll()
{
    setSelection(0, text().size());
}

void StatementBox::cursorMoved()
{
    ensureCursorVisible();
    restartBlink();
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (m_edit.hasSelection() && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
    announceCursor();
    viewport()->update();
    updateMicroFocus();
}

void StatementBox::announceCursor()
{
    const std::pair selection{selectionStart(), selectionEnd()};
    StatementBoxAccessible::cursorMoved(this, m_edit.anchor(), cursorPosition(), selection != m_announcedSelection);
    m_announcedSelection = selection;
}

void StatementBox::cut()
{
    copy();
    changed(m_edit.replaceSelection({}));
}

void StatementBox::copy() const
{
    if (m_edit.hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

void StatementBox::paste()
{
    insertPlainText(QGuiApplication::clipboard()->text());
}

// The last place the cursor can stand on `line`: before its line break, or,
// on a line that wraps, before the character where the next line begins,
// which is where that position shows.
qsizetype StatementBox::lastPosition(qsizetype line) const
{
    const qsizetype end = m_lines.end(text(), line);
    const bool wraps = line + 1 < m_lines.count() && end == m_lines.start(line + 1);
    return wraps ? std::max(m_lines.start(line), m_edit.previousCharacter(end)) : end;
}

Qt::LayoutDirection StatementBox::directionOf(qsizetype line) const
{
    const qsizetype start = m_edit.paragraphStart(m_lines.start(line));
    auto found = m_directions.constFind(start);
    if (found == m_directions.cend())
        found = m_directions.insert(start, m_edit.paragraphDirection(start));
    return *found;
}

qsizetype StatementBox::positionInLine(qsizetype line, qreal x) const
{
    QTextLayout layout;
    layOutLine(layout, line);
    const qsizetype position = m_lines.start(line) + layout.lineAt(0).xToCursor(x);
    return std::min(position, lastPosition(line));
}

qsizetype StatementBox::lineMove(qsizetype lines)
{
    if (m_goalX < 0)
        m_goalX = xOf(cursorPosition());
    const qsizetype line = std::clamp<qsizetype>(m_lines.lineOf(cursorPosition()) + lines, 0, m_lines.count() - 1);
    return positionInLine(line, m_goalX);
}

// Where End goes on `line`: on a line that wraps after a space, before the
// space; else where the line ends.
qsizetype StatementBox::endOfLine(qsizetype line) const
{
    const qsizetype end = m_lines.end(text(), line);
    const bool wrapsAtSpace = line + 1 < m_lines.count() && end == m_lines.start(line + 1) && text()[end - 1].isSpace();
    return wrapsAtSpace ? end - 1 : end;
}

bool StatementBox::handleMove(QKeyEvent *event)
{
    const auto found = std::find_if(std::begin(moves), std::end(moves), [event](const Move &m) { return event->matches(m.key); });
    if (found == std::end(moves))
        return false;
    QKeySequence::StandardKey key = found->key;
    const qsizetype cursor = cursorPosition();
    const qsizetype line = m_lines.lineOf(cursor);
    // Left and right follow the paragraph: in one written right to left,
    // the arrow to the left goes on through the text.
    if (directionOf(line) == Qt::RightToLeft) {
        static const QHash<QKeySequence::StandardKey, QKeySequence::StandardKey> mirrored = {
            {QKeySequence::MoveToNextChar, QKeySequence::MoveToPreviousChar},
            {QKeySequence::MoveToPreviousChar, QKeySequence::MoveToNextChar},
            {QKeySequence::SelectNextChar, QKeySequence::SelectPreviousChar},
            {QKeySequence::SelectPreviousChar, QKeySequence::SelectNextChar},
            {QKeySequence::MoveToNextWord, QKeySequence::MoveToPreviousWord},
            {QKeySequence::MoveToPreviousWord, QKeySequence::MoveToNextWord},
            {QKeySequence::SelectNextWord, QKeySequence::SelectPreviousWord},
            {QKeySequence::SelectPreviousWord, QKeySequence::SelectNextWord},
        };
        key = mirrored.value(key, key);
    }
    const bool vertical = key == QKeySequence::MoveToNextLine || key == QKeySequence::SelectNextLine
                          || key == QKeySequence::MoveToPreviousLine || key == QKeySequence::SelectPreviousLine
                          || key == QKeySequence::MoveToNextPage || key == QKeySequence::SelectNextPage
                          || key == QKeySequence::MoveToPreviousPage || key == QKeySequence::SelectPreviousPage;
    qsizetype target = cursor;
    switch (key) {
    case QKeySequence::MoveToNextChar:
        target = m_edit.hasSelection() ? selectionEnd() : m_edit.nextCharacter(cursor);
        break;
    case QKeySequence::SelectNextChar:
        target = m_edit.nextCharacter(cursor);
        break;
    case QKeySequence::MoveToPreviousChar:
        target = m_edit.hasSelection() ? selectionStart() : m_edit.previousCharacter(cursor);
        break;
    case QKeySequence::SelectPreviousChar:
        target = m_edit.previousCharacter(cursor);
        break;
    case QKeySequence::MoveToNextWord:
    case QKeySequence::SelectNextWord:
        target = m_edit.nextWord(cursor);
        break;
    case QKeySequence::MoveToPreviousWord:
    case QKeySequence::SelectPreviousWord:
        target = m_edit.previousWord(cursor);
        break;
    // Past the first or the last line the cursor stays, and a selection
    // reaches to the start or the end.
    case QKeySequence::MoveToNextLine:
    case QKeySequence::SelectNextLine:
        target = line + 1 < m_lines.count() ? lineMove(1) : found->select ? text().size() : cursor;
        break;
    case QKeySequence::MoveToPreviousLine:
    case QKeySequence::SelectPreviousLine:
        target = line > 0 ? lineMove(-1) : found->select ? 0 : cursor;
        break;
    case QKeySequence::MoveToNextPage:
    case QKeySequence::SelectNextPage:
        verticalScrollBar()->setValue(verticalScrollBar()->value() + visibleLineCount());
        target = lineMove(visibleLineCount());
        break;
    case QKeySequence::MoveToPreviousPage:
    case QKeySequence::SelectPreviousPage:
        verticalScrollBar()->setValue(verticalScrollBar()->value() - visibleLineCount());
        target = lineMove(-visibleLineCount());
        break;
    case QKeySequence::MoveToStartOfLine:
    case QKeySequence::SelectStartOfLine:
        target = m_lines.start(line);
        break;
    case QKeySequence::MoveToEndOfLine:
    case QKeySequence::SelectEndOfLine:
        target = endOfLine(line);
        break;
    case QKeySequence::MoveToStartOfDocument:
    case QKeySequence::SelectStartOfDocument:
        target = 0;
        break;
    default:
        target = text().size();
        break;
    }
    // A move that goes nowhere keeps the selection, as in Qt's box.
    if (vertical && target == cursor)
        return true;
    setCursorPosition(target, found->select);
    // Up and Down keep aiming at the column they started from.
    if (!vertical)
        m_goalX = -1;
    return true;
}

bool StatementBox::handleStandardKey(QKeyEvent *event)
{
    if (handleMove(event))
        return true;
    const qsizetype cursor = cursorPosition();
    if (event->matches(QKeySequence::SelectAll))
        selectAll();
    else if (event->matches(QKeySequence::Copy))
        copy();
    else if (event->matches(QKeySequence::Cut))
        cut();
    else if (event->matches(QKeySequence::Paste))
        paste();
    else if (event->matches(QKeySequence::Undo))
        undo();
    else if (event->matches(QKeySequence::Redo))
        redo();
    else if (event->matches(QKeySequence::Delete))
        changed(m_edit.removeSelectionOr(cursor, m_edit.nextCharacter(cursor), EditableText::Kind::Erased));
    else if (event->matches(QKeySequence::DeleteStartOfWord))
        changed(m_edit.removeSelectionOr(m_edit.previousWord(cursor), cursor));
    else if (event->matches(QKeySequence::DeleteEndOfWord))
        changed(m_edit.removeSelectionOr(cursor, m_edit.nextWord(cursor)));
    else if (event->matches(QKeySequence::DeleteEndOfLine))
        changed(m_edit.removeSelectionOr(cursor, lastPosition(m_lines.lineOf(cursor))));
    else if (event->matches(QKeySequence::InsertParagraphSeparator) || event->matches(QKeySequence::InsertLineSeparator))
        changed(m_edit.replaceSelection(QStringLiteral("\n"), EditableText::Kind::LineBreak));
    else
        return false;
    return true;
}

// ---- Layout

int StatementBox::lineHeight() const
{
    return std::max(1, fontMetrics().lineSpacing());
}

int StatementBox::visibleLineCount() const
{
    return std::max(1, (viewport()->height() - 2 * margin) / lineHeight());
}

qsizetype StatementBox::firstVisibleLine() const
{
    return verticalScrollBar()->value();
}

QPointF StatementBox::lineOrigin(qsizetype line) const
{
    return QPointF(margin, margin + qreal(line - firstVisibleLine()) * lineHeight());
}

void StatementBox::layOutLine(QTextLayout &layout, qsizetype line, bool withComposition) const
{
    const qsizetype start = m_lines.start(line);
    layout.setText(text().mid(start, m_lines.end(text(), line) - start));
    if (withComposition && !m_composition.isEmpty() && line == m_lines.lineOf(cursorPosition()))
        layout.setPreeditArea(int(cursorPosition() - start), m_composition);
    layout.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(m_lines.tabStopDistance());
    // Every line of a paragraph takes its direction, and so its alignment.
    option.setTextDirection(directionOf(line));
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    QTextLine textLine = layout.createLine();
    textLine.setLineWidth(std::max<qreal>(0, m_wrapWidth));
    textLine.setPosition({0, 0});
    layout.endLayout();
}

void StatementBox::relayout()
{
    // Showing or hiding the scroll bar changes the width again; a second pass
    // settles it, since a narrower box never needs fewer lines.
    if (m_relayingOut)
        return;
    showScrollBarIfSurelyNeeded();
    m_relayingOut = true;
    for (int pass = 0; pass < 3; ++pass) {
        const qreal width = viewport()->width() - 2 * margin;
        if (width == m_wrapWidth)
            break;
        m_wrapWidth = width;
        m_lines.wrap(text(), width);
        updateScrollRange();
    }
    m_relayingOut = false;
}

// A text longer than the lines on screen can hold at their longest needs
// the scroll bar. Showing it first narrows the box before the text is broken
// into lines, which would otherwise be done twice: a megabyte of line breaks
// is a million lines.
void StatementBox::showScrollBarIfSurelyNeeded()
{
    QScrollBar *bar = verticalScrollBar();
    const qsizetype room = qsizetype(visibleLineCount() + 1) * (WrappedLines::maximumLineLength + 1);
    if (bar->maximum() == 0 && text().size() > room)
        bar->setRange(0, 1);
}

void StatementBox::updateScrollRange()
{
    QScrollBar *bar = verticalScrollBar();
    bar->setPageStep(visibleLineCount());
    bar->setSingleStep(1);
    bar->setRange(0, int(std::clamp<qsizetype>(m_lines.count() - visibleLineCount(), 0, INT_MAX)));
}

void StatementBox::ensureCursorVisible()
{
    const qsizetype line = m_lines.lineOf(cursorPosition());
    QScrollBar *bar = verticalScrollBar();
    if (line < bar->value())
        bar->setValue(int(line));
    else if (line >= bar->value() + visibleLineCount())
        bar->setValue(int(line - visibleLineCount() + 1));
}

qsizetype StatementBox::positionAt(QPoint point) const
{
    const qsizetype line = std::clamp<qsizetype>(firstVisibleLine() + (point.y() - margin) / lineHeight(), 0, m_lines.count() - 1);
    return positionInLine(line, point.x() - margin);
}

qreal StatementBox::xOf(qsizetype position) const
{
    const qsizetype line = m_lines.lineOf(position);
    QTextLayout layout;
    layOutLine(layout, line);
    return layout.lineAt(0).cursorToX(int(position - m_lines.start(line)));
}

QRect StatementBox::characterRect(qsizetype position) const
{
    position = std::clamp<qsizetype>(position, 0, text().size());
    const qsizetype line = m_lines.lineOf(position);
    const QPointF origin = lineOrigin(line);
    QTextLayout layout;
    layOutLine(layout, line);
    const qsizetype start = m_lines.start(line);
    const qreal left = layout.lineAt(0).cursorToX(int(position - start));
    const qsizetype next = std::min(m_edit.nextCharacter(position), m_lines.end(text(), line));
    const qreal right = next > position ? layout.lineAt(0).cursorToX(int(next - start)) : left + 1;
    return QRectF(origin.x() + std::min(left, right), origin.y(), std::abs(right - left), lineHeight()).toAlignedRect();
}

// Where the cursor shows, inside what an input method is composing if it is.
QRect StatementBox::cursorRect() const
{
    const qsizetype line = m_lines.lineOf(cursorPosition());
    const QPointF origin = lineOrigin(line);
    QTextLayout layout;
    layOutLine(layout, line, true);
    const qreal x = layout.lineAt(0).cursorToX(int(cursorPosition() - m_lines.start(line)) + m_compositionCursor);
    return QRect(int(origin.x() + x), int(origin.y()), cursorWidth(), lineHeight());
}

int StatementBox::cursorWidth() const
{
    return std::max(1, style()->pixelMetric(QStyle::PM_TextCursorWidth, nullptr, this));
}

// ---- Events

bool StatementBox::event(QEvent *event)
{
    // The box's own keys come to it before any shortcut of the window.
    if (event->type() == QEvent::ShortcutOverride && isHandledKey(static_cast<QKeyEvent *>(event))) {
        event->accept();
        return true;
    }
    return QAbstractScrollArea::event(event);
}

void StatementBox::paintEvent(QPaintEvent *)
{
    QPainter painter(viewport());
    const QPalette colours = palette();
    painter.setPen(colours.color(QPalette::Text));
    const qsizetype last = std::min(m_lines.count() - 1, firstVisibleLine() + visibleLineCount());
    const qsizetype cursorLine = m_lines.lineOf(cursorPosition());
    for (qsizetype line = firstVisibleLine(); line <= last; ++line) {
        QTextLayout layout;
        layOutLine(layout, line, true);
        const qsizetype start = m_lines.start(line);
        QList<QTextLayout::FormatRange> selection;
        const qsizetype from = std::max(selectionStart(), start) - start;
        const qsizetype to = std::min(selectionEnd(), m_lines.end(text(), line)) - start;
        if (from < to) {
            QTextCharFormat format;
            format.setBackground(colours.brush(QPalette::Highlight));
            format.setForeground(colours.brush(QPalette::HighlightedText));
            selection.append({int(from), int(to - from), format});
        }
        if (line == cursorLine) {
            for (const QTextLayout::FormatRange &range : m_compositionFormats)
                selection.prepend({int(cursorPosition() - start) + range.start, range.length, range.format});
        }
        layout.draw(&painter, lineOrigin(line), selection);
        if (line == cursorLine && m_cursorShown && m_compositionCursorShown && hasFocus())
            layout.drawCursor(&painter, lineOrigin(line), int(cursorPosition() - start) + m_compositionCursor, cursorWidth());
    }
}

void StatementBox::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    relayout();
    updateScrollRange();
}

void StatementBox::scrollContentsBy(int, int)
{
    viewport()->update();
    updateMicroFocus();
}

void StatementBox::keyPressEvent(QKeyEvent *event)
{
    if (handleStandardKey(event))
        event->accept();
    else if (event->key() == Qt::Key_Backspace)
        changed(m_edit.removeSelectionOr(m_edit.previousCodePoint(cursorPosition()), cursorPosition(),
                                         EditableText::Kind::Erased));
    else if (typesText(event))
        changed(m_edit.replaceSelection(event->text(), EditableText::Kind::Typed));
    else
        QAbstractScrollArea::keyPressEvent(event);
}

void StatementBox::inputMethodEvent(QInputMethodEvent *event)
{
    if (!event->commitString().isEmpty() || event->replacementLength() > 0) {
        const qsizetype from = selectionStart() + event->replacementStart();
        const qsizetype length = std::max<qsizetype>(selectionEnd() - selectionStart(), event->replacementLength());
        changed(m_edit.replace(from, length, event->commitString()));
    }
    m_composition = event->preeditString();
    m_compositionCursor = int(m_composition.size());
    m_compositionCursorShown = true;
    m_compositionFormats.clear();
    for (const QInputMethodEvent::Attribute &attribute : event->attributes()) {
        if (attribute.type == QInputMethodEvent::Cursor) {
            m_compositionCursor = std::clamp(attribute.start, 0, int(m_composition.size()));
            m_compositionCursorShown = attribute.length != 0;
        } else if (attribute.type == QInputMethodEvent::TextFormat) {
            const QTextCharFormat format = qvariant_cast<QTextFormat>(attribute.value).toCharFormat();
            if (format.isValid())
                m_compositionFormats.append({attribute.start, attribute.length, format});
        }
    }
    viewport()->update();
    updateMicroFocus();
    event->accept();
}

void StatementBox::finishComposition()
{
    if (m_composition.isEmpty())
        return;
    // The input method commits what it was composing, if it can; what it
    // leaves is dropped, as in Qt's own text boxes.
    QGuiApplication::inputMethod()->commit();
    dropComposition();
}

void StatementBox::dropComposition()
{
    if (m_composition.isEmpty())
        return;
    m_composition.clear();
    m_compositionFormats.clear();
    m_compositionCursor = 0;
    viewport()->update();
}

QVariant StatementBox::inputMethodQuery(Qt::InputMethodQuery query) const
{
    const qsizetype line = m_lines.lineOf(cursorPosition());
    const qsizetype start = m_lines.start(line);
    switch (query) {
    case Qt::ImEnabled:
        return true;
    case Qt::ImHints:
        return int(Qt::ImhMultiLine);
    case Qt::ImCursorRectangle:
        return cursorRect().translated(viewport()->pos());
    case Qt::ImFont:
        return font();
    case Qt::ImSurroundingText:
        return text().mid(start, m_lines.end(text(), line) - start);
    case Qt::ImCursorPosition:
        return int(cursorPosition() - start);
    case Qt::ImAbsolutePosition:
        return cursorPosition();
    case Qt::ImTextBeforeCursor:
        return text().mid(start, cursorPosition() - start);
    case Qt::ImTextAfterCursor:
        return text().mid(cursorPosition(), m_lines.end(text(), line) - cursorPosition());
    case Qt::ImAnchorPosition:
        return int(std::clamp(m_edit.anchor(), start, m_lines.end(text(), line)) - start);
    case Qt::ImCurrentSelection:
        return selectedText();
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void StatementBox::mousePressEvent(QMouseEvent *event)
{
    finishComposition();
    const qsizetype position = positionAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton) {
        m_selectingWithMouse = true;
        setCursorPosition(position, event->modifiers().testFlag(Qt::ShiftModifier));
    } else if (event->button() == Qt::MiddleButton && QGuiApplication::clipboard()->supportsSelection()) {
        setCursorPosition(position);
        insertPlainText(QGuiApplication::clipboard()->text(QClipboard::Selection));
    }
    m_goalX = -1;
}

void StatementBox::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selectingWithMouse)
        return;
    // Dragging past the top or the bottom scrolls a line at a time.
    const QPoint point = event->position().toPoint();
    if (point.y() < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (point.y() > viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    setCursorPosition(positionAt(point), true);
}

void StatementBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const qsizetype position = positionAt(event->position().toPoint());
    const auto [from, to] = m_edit.wordAt(position);
    setSelection(from, to);
    m_goalX = -1;
}

void StatementBox::mouseReleaseEvent(QMouseEvent *)
{
    m_selectingWithMouse = false;
}

void StatementBox::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    const auto add = [&menu](const QString &text, QKeySequence::StandardKey key, bool enabled, auto slot) {
        QAction *action = menu.addAction(text, slot);
        action->setShortcut(key);
        action->setEnabled(enabled);
    };
    add(tr("&Undo"), QKeySequence::Undo, m_edit.canUndo(), [this] { undo(); });
    add(tr("&Redo"), QKeySequence::Redo, m_edit.canRedo(), [this] { redo(); });
    menu.addSeparator();
    add(tr("Cu&t"), QKeySequence::Cut, m_edit.hasSelection(), [this] { cut(); });
    add(tr("&Copy"), QKeySequence::Copy, m_edit.hasSelection(), [this] { copy(); });
    add(tr("&Paste"), QKeySequence::Paste, !QGuiApplication::clipboard()->text().isEmpty(), [this] { paste(); });
    add(tr("Delete"), QKeySequence::Delete, m_edit.hasSelection(), [this] { changed(m_edit.replaceSelection({})); });
    menu.addSeparator();
    add(tr("Select All"), QKeySequence::SelectAll, !text().isEmpty(), [this] { selectAll(); });
    menu.exec(event->globalPos());
}

void StatementBox::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    restartBlink();
}

void StatementBox::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    m_blink.stop();
    m_cursorShown = false;
    viewport()->update();
}

void StatementBox::restartBlink()
{
    m_cursorShown = true;
    const int flashTime = QApplication::cursorFlashTime();
    if (hasFocus() && flashTime > 0)
        m_blink.start(flashTime / 2, this);
    else
        m_blink.stop();
    viewport()->update();
}

void StatementBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_blink.timerId()) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    m_cursorShown = !m_cursorShown;
    viewport()->update(cursorRect());
}

void StatementBox::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_lines.setFont(font());
        m_wrapWidth = -1;
        relayout();
    }
}

} // namespace morvane
