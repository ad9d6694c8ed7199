#include "StatementBoxAccessible.h"

#include "StatementBox.h"

namespace morvane {

namespace {

QAccessibleInterface *createFor(const QString &className, QObject *object)
{
    auto *box = qobject_cast<StatementBox *>(object);
    // Qt's accessibility cache owns what the factory makes.
    if (box && className == QLatin1String(StatementBox::staticMetaObject.className()))
        return new StatementBoxAccessible(box);
    return nullptr;
}

} // namespace

StatementBoxAccessible::StatementBoxAccessible(StatementBox *box) : QAccessibleWidget(box, QAccessible::EditableText)
{
}

void StatementBoxAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(createFor);
        return true;
    }();
    Q_UNUSED(installed);
}

namespace {

// At most `announcedLength` units of `text`, not ending inside a surrogate pair.
QString announced(QStringView text)
{
    qsizetype length = std::min(text.size(), StatementBoxAccessible::announcedLength);
    if (length < text.size() && length > 0 && text[length - 1].isHighSurrogate())
        --length;
    return text.first(length).toString();
}

} // namespace

void StatementBoxAccessible::textReplaced(StatementBox *box, qsizetype position, const QString &removed,
                                          const QString &inserted)
{
    if (!QAccessible::isActive())
        return;
    if (!removed.isEmpty()) {
        QAccessibleTextRemoveEvent event(box, int(position), announced(removed));
        QAccessible::updateAccessibility(&event);
    }
    if (!inserted.isEmpty()) {
        QAccessibleTextInsertEvent event(box, int(position), announced(inserted));
        QAccessible::updateAccessibility(&event);
    }
}

// The old text is gone; what a screen reader needs of it is how long it was.
void StatementBoxAccessible::textSet(StatementBox *box, qsizetype removedLength)
{
    if (!QAccessible::isActive())
        return;
    textReplaced(box, 0, QString(std::min(removedLength, announcedLength), u' '), box->toPlainText());
}

void StatementBoxAccessible::cursorMoved(StatementBox *box, qsizetype anchor, qsizetype cursor, bool selectionChanged)
{
    if (!QAccessible::isActive())
        return;
    if (selectionChanged) {
        QAccessibleTextSelectionEvent event(box, int(std::min(anchor, cursor)), int(std::max(anchor, cursor)));
        event.setCursorPosition(int(cursor));
        QAccessible::updateAccessibility(&event);
    }
    QAccessibleTextCursorEvent event(box, int(cursor));
    QAccessible::updateAccessibility(&event);
}

StatementBox *StatementBoxAccessible::box() const
{
    return static_cast<StatementBox *>(widget());
}

void *StatementBoxAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    if (type == QAccessible::EditableTextInterface)
        return static_cast<QAccessibleEditableTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State StatementBoxAccessible::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.editable = true;
    state.multiLine = true;
    state.selectableText = true;
    return state;
}

QString StatementBoxAccessible::text(QAccessible::Text type) const
{
    if (type == QAccessible::Value)
        return box()->toPlainText();
    return QAccessibleWidget::text(type);
}

void StatementBoxAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    const bool selected = selectionIndex == 0 && selectionCount() == 1;
    *startOffset = selected ? int(box()->selectionStart()) : 0;
    *endOffset = selected ? int(box()->selectionEnd()) : 0;
}

int StatementBoxAccessible::selectionCount() const
{
    return box()->selectionStart() == box()->selectionEnd() ? 0 : 1;
}

void StatementBoxAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void StatementBoxAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        box()->setCursorPosition(box()->cursorPosition());
}

void StatementBoxAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0)
        box()->setSelection(startOffset, endOffset);
}

int StatementBoxAccessible::cursorPosition() const
{
    return int(box()->cursorPosition());
}

void StatementBoxAccessible::setCursorPosition(int position)
{
    box()->setCursorPosition(position);
}

QString StatementBoxAccessible::text(int startOffset, int endOffset) const
{
    return box()->toPlainText().mid(startOffset, std::max(0, endOffset - startOffset));
}

int StatementBoxAccessible::characterCount() const
{
    return int(box()->toPlainText().size());
}

QRect StatementBoxAccessible::characterRect(int offset) const
{
    const QWidget *viewport = box()->viewport();
    const QRect local = box()->characterRect(offset);
    return QRect(viewport->mapToGlobal(local.topLeft()), local.size());
}

int StatementBoxAccessible::offsetAtPoint(const QPoint &point) const
{
    return int(box()->positionAt(box()->viewport()->mapFromGlobal(point)));
}

void StatementBoxAccessible::scrollToSubstring(int startIndex, int)
{
    box()->setCursorPosition(startIndex);
}

QString StatementBoxAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = offset;
    return {};
}

void StatementBoxAccessible::deleteText(int startOffset, int endOffset)
{
    box()->replaceText(startOffset, endOffset - startOffset, {});
}

void StatementBoxAccessible::insertText(int offset, const QString &text)
{
    box()->replaceText(offset, 0, text);
}

void StatementBoxAccessible::replaceText(int startOffset, int endOffset, const QString &text)
{
    box()->replaceText(startOffset, endOffset - startOffset, text);
}

} // namespace morvane
