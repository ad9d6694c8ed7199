#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <vector>

namespace morvane {

// The text of a statement box with its cursor, its selection and the changes
// that can be undone; what the box shows and how keys move are the box's.
// Positions are UTF-16 offsets. Characters are what a reader sees as one
// (a letter with its marks, a syllable of jamo, an emoji sequence, a flag);
// words end at spaces and punctuation as in Qt's own text box, and in
// scripts written without spaces (Thai, Chinese, Japanese) where Unicode's
// word boundaries fall. Every look at the text stays near the position, so
// a text of megabytes costs no more than a short one.
class EditableText
{
public:
    // What a change did, for those that lay out or announce the text.
    struct Change
    {
        qsizetype position;
        QString removed;
        QString inserted;
    };

    [[nodiscard]] const QString &text() const { return m_text; }
    // Replaces the text, forgetting what could be undone; the cursor goes to the start.
    void setText(const QString &text);

    [[nodiscard]] qsizetype cursor() const { return m_cursor; }
    [[nodiscard]] qsizetype anchor() const { return m_anchor; }
    [[nodiscard]] bool hasSelection() const { return m_anchor != m_cursor; }
    [[nodiscard]] qsizetype selectionStart() const { return std::min(m_anchor, m_cursor); }
    [[nodiscard]] qsizetype selectionEnd() const { return std::max(m_anchor, m_cursor); }
    [[nodiscard]] QString selectedText() const;
    // Moves the cursor, the anchor with it unless the selection is kept.
    void moveCursor(qsizetype position, bool keepSelection);
    void select(qsizetype anchor, qsizetype cursor);

    // How a change joins the one before it when undone (see joinLast).
    enum class Kind { Typed, Erased, LineBreak, Other };
    // Replaces `length` units at `position` with `text` (both clamped to the
    // text) and leaves the cursor after it.
    std::optional<Change> replace(qsizetype position, qsizetype length, const QString &text, Kind kind = Kind::Other);
    std::optional<Change> replaceSelection(const QString &text, Kind kind = Kind::Other);
    // The selection if there is one, else what lies between `from` and `to`.
    std::optional<Change> removeSelectionOr(qsizetype from, qsizetype to, Kind kind = Kind::Other);
    std::optional<Change> undo();
    std::optional<Change> redo();
    [[nodiscard]] bool canUndo() const { return !m_undo.empty(); }
    [[nodiscard]] bool canRedo() const { return !m_redo.empty(); }

    [[nodiscard]] qsizetype nextCharacter(qsizetype position) const;
    [[nodiscard]] qsizetype previousCharacter(qsizetype position) const;
    // One code point back, where Backspace takes away what was typed last.
    [[nodiscard]] qsizetype previousCodePoint(qsizetype position) const;
    // Over a word or a run of punctuation, then the spaces after it; from
    // the end of a paragraph to the start of the next.
    [[nodiscard]] qsizetype nextWord(qsizetype position) const;
    [[nodiscard]] qsizetype previousWord(qsizetype position) const;
    // The word or run of punctuation that a double click at `position`
    // selects: the one that begins there or holds it, else the one before.
    [[nodiscard]] std::pair<qsizetype, qsizetype> wordAt(qsizetype position) const;

    // The paragraph (the text between two line breaks) around `position`.
    [[nodiscard]] qsizetype paragraphStart(qsizetype position) const;
    [[nodiscard]] qsizetype paragraphEnd(qsizetype position) const;
    // The direction of the paragraph that begins at `start`: that of its
    // first letter with a direction of its own, else left to right.
    [[nodiscard]] Qt::LayoutDirection paragraphDirection(qsizetype start) const;

private:
    struct Edit
    {
        qsizetype position;
        QString removed;
        QString inserted;
        Kind kind;
    };

    Change apply(const Edit &edit, bool backwards);
    // Joins `edit` to the last change if it runs on from it.
    bool joinLast(const Edit &edit);
    [[nodiscard]] qsizetype contextStart(qsizetype from) const;
    [[nodiscard]] qsizetype wordEnd(qsizetype position, qsizetype end) const;
    [[nodiscard]] qsizetype wordStart(qsizetype position, qsizetype start) const;

    QString m_text;
    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;
    std::vector<Edit> m_undo;
    std::vector<Edit> m_redo;
};

} // namespace morvane
