#pragma once

#include <QFontMetricsF>
#include <QHash>
#include <QStringView>

#include <vector>

namespace morvane {

// Where the lines of a text begin once it is broken to fit a width: after
// each line break, and where a paragraph would run past the width, after its
// last space if the line has one, else before the character that does not
// fit. Measuring adds up cached character advances, so breaking a pasted
// ten-megabyte statement costs a few milliseconds and only the lines on
// screen are ever shaped. A line holds at most `maximumLineLength` UTF-16
// units however narrow its characters, so shaping one stays cheap.
class WrappedLines
{
public:
    static constexpr qsizetype maximumLineLength = 1000;

    explicit WrappedLines(const QFont &font);

    void setFont(const QFont &font);
    [[nodiscard]] qreal tabStopDistance() const { return m_tabStop; }

    // Breaks the whole of `text` to fit `width`.
    void wrap(QStringView text, qreal width);
    // After `removed` units at `position` were replaced by `inserted` units
    // (`text` is the text after the change): breaks again only the lines the
    // change can reach, and moves the rest along.
    void update(QStringView text, qsizetype position, qsizetype removed, qsizetype inserted);

    [[nodiscard]] qsizetype count() const { return qsizetype(m_starts.size()); }
    [[nodiscard]] qsizetype start(qsizetype line) const { return m_starts[size_t(line)]; }
    // Where `line` ends, before its line break if it has one.
    [[nodiscard]] qsizetype end(QStringView text, qsizetype line) const;
    [[nodiscard]] qsizetype lineOf(qsizetype position) const;

private:
    // Calls `found(start)` for each line that begins after `from` (itself the
    // start of a line) until `found` returns false or the text ends.
    template <typename Found>
    void breakFrom(QStringView text, qsizetype from, Found found);
    // The advance of the character at `position` when the line so far is `x`
    // wide, and its `length` in UTF-16 units.
    [[nodiscard]] qreal advance(QStringView text, qsizetype position, qreal x, qsizetype *length);
    [[nodiscard]] qreal measure(QStringView text, qsizetype position, qsizetype *length);

    QFontMetricsF m_metrics;
    qreal m_tabStop = 0;
    qreal m_width = 0;
    std::vector<qsizetype> m_starts{0};
    // Advances of the characters met so far; a negative entry is not measured yet.
    std::vector<float> m_basicAdvances;
    QHash<char32_t, qreal> m_otherAdvances;
};

} // namespace morvane
