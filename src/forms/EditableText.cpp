#include "EditableText.h"

#include <QTextBoundaryFinder>

#include <algorithm>

namespace morvane {

namespace {

// Beyond this many changes the oldest cannot be undone; a pasted text is kept
// whole in its change, so the list must not grow without bound.
constexpr size_t undoLimit = 1000;

// How far around a position the boundaries of characters and of words in
// scripts without spaces are looked for at first: far more than any real
// cluster or word, and grown when it is not.
constexpr qsizetype reach = 64;

// The punctuation that ends a word, and forms words of its own, in Qt's text box.
bool isSeparator(QChar c)
{
    return QStringView(u".,?!@#$:;-<>[](){}=/+%&^*'\"`~|\\").contains(c);
}

bool isSpace(QChar c)
{
    return c.isSpace() && c != u'\n';
}

bool inWord(QChar c)
{
    return !c.isSpace() && !isSeparator(c);
}

// Scripts written without spaces between words, and their punctuation.
bool writtenWithoutSpaces(char32_t c)
{
    switch (QChar::script(c)) {
    case QChar::Script_Thai:
    case QChar::Script_Lao:
    case QChar::Script_Khmer:
    case QChar::Script_Myanmar:
    case QChar::Script_Han:
    case QChar::Script_Hiragana:
    case QChar::Script_Katakana:
        return true;
    default:
        return (c >= 0x3000 && c <= 0x303f) || (c >= 0xff00 && c <= 0xffef);
    }
}

char32_t codePointAt(QStringView text, qsizetype position)
{
    const QChar c = text[position];
    if (c.isHighSurrogate() && position + 1 < text.size() && text[position + 1].isLowSurrogate())
        return QChar::surrogateToUcs4(c, text[position + 1]);
    return c.unicode();
}

char32_t codePointBefore(QStringView text, qsizetype position)
{
    const QChar c = text[position - 1];
    if (c.isLowSurrogate() && position >= 2 && text[position - 2].isHighSurrogate())
        return QChar::surrogateToUcs4(text[position - 2], c);
    return c.unicode();
}

// Where a boundary at `position` of `text`, whose start is a boundary, is
// one between words of a script written without spaces.
bool splitsUnspacedWords(QStringView text, qsizetype position)
{
    return position > 0 && position < text.size()
           && (writtenWithoutSpaces(codePointBefore(text, position)) || writtenWithoutSpaces(codePointAt(text, position)));
}

// The first boundary of `type` in `text` after `from` that `accept` takes,
// or going backwards the last before it; -1 if there is none.
qsizetype acceptedBoundary(QTextBoundaryFinder::BoundaryType type, QStringView text, qsizetype from, bool backwards,
                           bool (*accept)(QStringView, qsizetype))
{
    QTextBoundaryFinder finder(type, text);
    finder.setPosition(from);
    const auto step = [&finder, backwards] { return backwards ? finder.toPreviousBoundary() : finder.toNextBoundary(); };
    for (qsizetype boundary = step(); boundary != -1; boundary = step()) {
        if (accept(text, boundary))
            return boundary;
    }
    return -1;
}

bool anyBoundary(QStringView text, qsizetype position)
{
    return position > 0 && position < text.size();
}

bool isRegionalIndicator(char32_t c)
{
    return c >= 0x1f1e6 && c <= 0x1f1ff;
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
                                                          Kind kind)
{
    position = std::clamp<qsizetype>(position, 0, m_text.size());
    length = std::clamp<qsizetype>(length, 0, m_text.size() - position);
    if (length == 0 && text.isEmpty())
        return std::nullopt;
    m_redo.clear();
    Edit edit{position, m_text.mid(position, length), text, kind};
    if (!joinLast(edit)) {
        if (m_undo.size() >= undoLimit)
            m_undo.erase(m_undo.begin());
        m_undo.push_back(edit);
    }
    return apply(edit, false);
}

// As in Qt's text box: typing runs on in any insertion it follows, a line
// break excepted, and Backspace or Delete in the erasing it follows.
bool EditableText::joinLast(const Edit &edit)
{
    if (m_undo.empty())
        return false;
    Edit &last = m_undo.back();
    if (edit.kind == Kind::Typed && last.kind != Kind::LineBreak && edit.removed.isEmpty() && !last.inserted.isEmpty()
        && last.position + last.inserted.size() == edit.position) {
        last.inserted += edit.inserted;
        return true;
    }
    if (edit.kind != Kind::Erased || last.kind != Kind::Erased)
        return false;
    if (edit.position == last.position) {
        last.removed += edit.removed;
        return true;
    }
    if (edit.position + edit.removed.size() == last.position) {
        last.position = edit.position;
        last.removed.prepend(edit.removed);
        return true;
    }
    return false;
}

std::optional<EditableText::Change> EditableText::replaceSelection(const QString &text, Kind kind)
{
    return replace(selectionStart(), selectionEnd() - selectionStart(), text, kind);
}

std::optional<EditableText::Change> EditableText::removeSelectionOr(qsizetype from, qsizetype to, Kind kind)
{
    if (hasSelection())
        return replaceSelection({});
    return replace(from, to - from, {}, kind);
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

qsizetype EditableText::paragraphStart(qsizetype position) const
{
    return position <= 0 ? 0 : m_text.lastIndexOf(u'\n', position - 1) + 1;
}

qsizetype EditableText::paragraphEnd(qsizetype position) const
{
    const qsizetype end = m_text.indexOf(u'\n', position);
    return end < 0 ? m_text.size() : end;
}

Qt::LayoutDirection EditableText::paragraphDirection(qsizetype start) const
{
    for (qsizetype position = start; position < m_text.size() && m_text[position] != u'\n'; ++position) {
        switch (QChar::direction(codePointAt(m_text, position))) {
        case QChar::DirL:
            return Qt::LeftToRight;
        case QChar::DirR:
        case QChar::DirAL:
            return Qt::RightToLeft;
        default:
            break;
        }
    }
    return Qt::LeftToRight;
}

// Characters are found among the text around the position, from a little
// before it: a boundary depends on what comes before it.
// A run of flags pairs its letters from its start, so a look at the text
// from `from` begins where such a run does.
qsizetype EditableText::contextStart(qsizetype from) const
{
    while (from >= 2 && isRegionalIndicator(codePointBefore(m_text, from)))
        from -= 2;
    return from;
}

qsizetype EditableText::nextCharacter(qsizetype position) const
{
    if (position >= m_text.size())
        return m_text.size();
    if (m_text[position] == u'\n')
        return position + 1;
    const qsizetype from = contextStart(std::max(paragraphStart(position), position - reach));
    const qsizetype end = paragraphEnd(position);
    for (qsizetype to = std::min(end, position + reach);; to = std::min(end, position + 4 * (to - position))) {
        const qsizetype next = acceptedBoundary(QTextBoundaryFinder::Grapheme, QStringView(m_text).sliced(from, to - from),
                                             position - from, false, anyBoundary);
        if (next >= 0)
            return from + next;
        if (to == end)
            return end;
    }
}

qsizetype EditableText::previousCharacter(qsizetype position) const
{
    if (position <= 0)
        return 0;
    if (m_text[position - 1] == u'\n')
        return position - 1;
    const qsizetype paragraph = paragraphStart(position);
    for (qsizetype from = std::max(paragraph, position - reach);; from = std::max(paragraph, position - 4 * (position - from))) {
        const qsizetype start = contextStart(from);
        const qsizetype previous = acceptedBoundary(QTextBoundaryFinder::Grapheme, QStringView(m_text).sliced(start, position - start),
                                                  position - start, true, anyBoundary);
        if (previous > from - start || (previous >= 0 && from == paragraph))
            return start + previous;
        if (from == paragraph)
            return paragraph;
    }
}

qsizetype EditableText::previousCodePoint(qsizetype position) const
{
    if (position <= 0)
        return 0;
    const bool pair = position >= 2 && m_text[position - 1].isLowSurrogate() && m_text[position - 2].isHighSurrogate();
    return position - (pair ? 2 : 1);
}

// The end of the word at `position`, no further than `end`: where a run of
// punctuation or of other characters ends, or where the next word of a
// script without spaces begins.
qsizetype EditableText::wordEnd(qsizetype position, qsizetype end) const
{
    if (position >= end)
        return position;
    qsizetype to = position;
    if (isSeparator(m_text[to])) {
        while (to < end && isSeparator(m_text[to]))
            ++to;
        return to;
    }
    while (to < end && inWord(m_text[to]))
        ++to;
    qsizetype from = position;
    while (from > 0 && from > position - reach && inWord(m_text[from - 1]))
        --from;
    const qsizetype last = std::min(to, position + reach);
    const qsizetype split = acceptedBoundary(QTextBoundaryFinder::Word, QStringView(m_text).sliced(from, last - from),
                                          position - from, false, splitsUnspacedWords);
    return split >= 0 ? from + split : to;
}

qsizetype EditableText::wordStart(qsizetype position, qsizetype start) const
{
    if (position <= start)
        return position;
    qsizetype from = position;
    if (isSeparator(m_text[from - 1])) {
        while (from > start && isSeparator(m_text[from - 1]))
            --from;
        return from;
    }
    while (from > start && inWord(m_text[from - 1]))
        --from;
    const qsizetype first = std::max(from, position - reach);
    qsizetype to = position;
    while (to < m_text.size() && to < position + reach && inWord(m_text[to]))
        ++to;
    const qsizetype split = acceptedBoundary(QTextBoundaryFinder::Word, QStringView(m_text).sliced(first, to - first),
                                           position - first, true, splitsUnspacedWords);
    return split >= 0 ? first + split : from;
}

qsizetype EditableText::nextWord(qsizetype position) const
{
    if (position >= m_text.size())
        return m_text.size();
    if (m_text[position] == u'\n')
        return position + 1;
    const qsizetype end = paragraphEnd(position);
    position = wordEnd(position, end);
    while (position < end && isSpace(m_text[position]))
        ++position;
    return position;
}

qsizetype EditableText::previousWord(qsizetype position) const
{
    if (position <= 0)
        return 0;
    if (m_text[position - 1] == u'\n')
        return position - 1;
    const qsizetype start = paragraphStart(position);
    while (position > start && isSpace(m_text[position - 1]))
        --position;
    return wordStart(position, start);
}

// As Qt's text box: from the start of the word that holds or follows the
// position (or, at the end of a paragraph, precedes it) to its end.
std::pair<qsizetype, qsizetype> EditableText::wordAt(qsizetype position) const
{
    position = std::clamp<qsizetype>(position, 0, m_text.size());
    const qsizetype start = paragraphStart(position);
    const qsizetype end = paragraphEnd(position);
    qsizetype from = position;
    if (position == end && position > start && !inWord(m_text[position - 1]))
        return {position, position};
    if (position > start) {
        from = position < end ? position + 1 : position;
        while (from > start && isSpace(m_text[from - 1]))
            --from;
        from = wordStart(from, start);
    }
    return {from, wordEnd(from, end)};
}

} // namespace morvane
