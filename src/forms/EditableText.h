#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <vector>

namespace morvane {

// The text of a statement box with its cursor, its selection and the changes
// that can be undone; what the box shows and how keys move are the box's.
// Positions are UTF-16 offsets; moves never stop inside a surrogate pair.
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

    // Replaces `length` units at `position` with `text` (both clamped to the
    // text) and leaves the cursor after it. Typing runs on in the change to
    // undo that it began; anything else is a change of its own.
    std::optional<Change> replace(qsizetype position, qsizetype length, const QString &text, bool typed);
    std::optional<Change> replaceSelection(const QString &text, bool typed);
    // The selection if there is one, else what lies between `from` and `to`.
    std::optional<Change> removeSelectionOr(qsizetype from, qsizetype to);
    std::optional<Change> undo();
    std::optional<Change> redo();
    [[nodiscard]] bool canUndo() const { return !m_undo.empty(); }
    [[nodiscard]] bool canRedo() const { return !m_redo.empty(); }

    [[nodiscard]] qsizetype nextCharacter(qsizetype position) const;
    [[nodiscard]] qsizetype previousCharacter(qsizetype position) const;
    // Over a word or a run of punctuation, then the spaces after it.
    [[nodiscard]] qsizetype nextWord(qsizetype position) const;
    [[nodiscard]] qsizetype previousWord(qsizetype position) const;
    // The word, run of punctuation or of spaces at `position`.
    [[nodiscard]] std::pair<qsizetype, qsizetype> wordAt(qsizetype position) const;

private:
    struct Edit
    {
        qsizetype position;
        QString removed;
        QString inserted;
        bool typed;
    };

    Change apply(const Edit &edit, bool backwards);

    QString m_text;
    qsizetype m_cursor = 0;
    qsizetype m_anchor = 0;
    std::vector<Edit> m_undo;
    std::vector<Edit> m_redo;
};

} // namespace morvane
