#include "EditableText.h"

#include <algorithm>

namespace morvane {

namespace {

// Beyond this many changes the oldest cannot be undone; a pasted text is kept
// whole in its change, so the list must not grow without bound.
constexpr size_t undoLimit = 1000;

enum class CharacterKind { Space, Word, Other };

CharacterKind kindOf(QChar c)
{
    if (c.isSpace())
        return CharacterKind::Space;
    if (c.isLetterOrNumber() || c.isMark() || c == u'_')
        return CharacterKind::Word;
    return CharacterKind::Other;
}

} // namespace

void EditableText::setText(const QString &text)
{
    m_text = text;
    m_cursor = m_anchor = 0;
    m_undo.clear();
    m_redo.clear();
}

QString EditableText::selectedText() const
{
    return m_text.mid(selectionStart(), selectionEnd() - selectionStart());
}

void EditableText::moveCursor(qsizetype position, bool keepSelection)
{
    m_cursor = std::clamp<qsizetype>(position, 0, m_text.size());
    if (!keepSelection)
        m_anchor = m_cursor;
}

void EditableText::select(qsizetype anchor, qsizetype cursor)
{
    m_anchor = std::clamp<qsizetype>(anchor, 0, m_text.size());
    moveCursor(cursor, true);
}

std::optional<EditableText::Change> EditableText::replace(qsizetype position, qsizetype length, const QString &text,
                                                          bool typed)
{
    position = std::clamp<qsizetype>(position, 0, m_text.size());
    length = std::clamp<qsizetype>(length, 0, m_text.size() - position);
    if (length == 0 && text.isEmpty())
        return std::nullopt;
    m_redo.clear();
    Edit *last = m_undo.empty() ? nullptr : &m_undo.back();
    const bool continuesTyping = typed && length == 0 && last && last->typed && last->removed.isEmpty()
                                 && last->position + last->inserted.size() == position;
    Edit edit{position, m_text.mid(position, length), text, typed};
    if (continuesTyping) {
        last->inserted += text;
    } else {
        if (m_undo.size() >= undoLimit)
            m_undo.erase(m_undo.begin());
        m_undo.push_back(edit);
    }
    return apply(edit, false);
}

std::optional<EditableText::Change> EditableText::replaceSelection(const QString &text, bool typed)
{
    return replace(selectionStart(), selectionEnd() - selectionStart(), text, typed);
}

std::optional<EditableText::Change> EditableText::removeSelectionOr(qsizetype from, qsizetype to)
{
    if (hasSelection())
        return replaceSelection({}, false);
    return replace(from, to - from, {}, false);
}

EditableText::Change EditableText::apply(const Edit &edit, bool backwards)
{
    Change change{edit.position, backwards ? edit.inserted : edit.removed, backwards ? edit.removed : edit.inserted};
    m_text.replace(change.position, change.removed.size(), change.inserted);
    m_cursor = m_anchor = change.position + change.inserted.size();
    return change;
}

std::optional<EditableText::Change> EditableText::undo()
{
    if (m_undo.empty())
        return std::nullopt;
    m_redo.push_back(std::move(m_undo.back()));
    m_undo.pop_back();
    return apply(m_redo.back(), true);
}

std::optional<EditableText::Change> EditableText::redo()
{
    if (m_redo.empty())
        return std::nullopt;
    m_undo.push_back(std::move(m_redo.back()));
    m_redo.pop_back();
    return apply(m_undo.back(), false);
}

qsizetype EditableText::nextCharacter(qsizetype position) const
{
    if (position >= m_text.size())
        return m_text.size();
    const bool pair = m_text[position].isHighSurrogate() && position + 1 < m_text.size() && m_text[position + 1].isLowSurrogate();
    return position + (pair ? 2 : 1);
}

qsizetype EditableText::previousCharacter(qsizetype position) const
{
    if (position <= 0)
        return 0;
    const bool pair = position >= 2 && m_text[position - 1].isLowSurrogate() && m_text[position - 2].isHighSurrogate();
    return position - (pair ? 2 : 1);
}

qsizetype EditableText::nextWord(qsizetype position) const
{
    if (position < m_text.size() && kindOf(m_text[position]) != CharacterKind::Space)
        position = wordAt(position).second;
    while (position < m_text.size() && kindOf(m_text[position]) == CharacterKind::Space)
        ++position;
    return position;
}

qsizetype EditableText::previousWord(qsizetype position) const
{
    while (position > 0 && kindOf(m_text[position - 1]) == CharacterKind::Space)
        --position;
    return position > 0 ? wordAt(position - 1).first : 0;
}

std::pair<qsizetype, qsizetype> EditableText::wordAt(qsizetype position) const
{
    if (m_text.isEmpty())
        return {0, 0};
    position = std::clamp<qsizetype>(position, 0, m_text.size() - 1);
    const CharacterKind kind = kindOf(m_text[position]);
    qsizetype from = position;
    qsizetype to = position;
    while (from > 0 && kindOf(m_text[from - 1]) == kind)
        --from;
    while (to < m_text.size() && kindOf(m_text[to]) == kind)
        ++to;
    return {from, to};
}

} // namespace morvane
