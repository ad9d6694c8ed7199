#include "WrappedLines.h"

#include <algorithm>
#include <cmath>

namespace morvane {

namespace {

bool hangsAtLineEnd(QChar c)
{
    return c == u' ' || c == u'\t';
}

} // namespace

WrappedLines::WrappedLines(const QFont &font) : m_metrics(font)
{
    setFont(font);
}

void WrappedLines::setFont(const QFont &font)
{
    m_metrics = QFontMetricsF(font);
    m_tabStop = std::max<qreal>(1, 8 * m_metrics.horizontalAdvance(u' '));
    m_basicAdvances.assign(0x10000, -1.0f);
    m_otherAdvances.clear();
}

// Most characters are found in the table; tabs and surrogates never are.
inline qreal WrappedLines::advance(QStringView text, qsizetype position, qreal x, qsizetype *length)
{
    const float cached = m_basicAdvances[text[position].unicode()];
    if (cached >= 0) {
        *length = 1;
        return cached;
    }
    if (text[position] == u'\t') {
        *length = 1;
        return m_tabStop * (std::floor(x / m_tabStop) + 1) - x;
    }
    return measure(text, position, length);
}

qreal WrappedLines::measure(QStringView text, qsizetype position, qsizetype *length)
{
    const QChar c = text[position];
    const bool pair = c.isHighSurrogate() && position + 1 < text.size() && text[position + 1].isLowSurrogate();
    *length = pair ? 2 : 1;
    if (c.isSurrogate() && !pair)
        return std::max<qreal>(0, m_metrics.horizontalAdvance(c));
    if (!pair) {
        float &cached = m_basicAdvances[c.unicode()];
        cached = float(std::max<qreal>(0, m_metrics.horizontalAdvance(c)));
        return cached;
    }
    const char32_t code = QChar::surrogateToUcs4(c, text[position + 1]);
    auto cached = m_otherAdvances.find(code);
    if (cached == m_otherAdvances.end())
        cached = m_otherAdvances.insert(code, std::max<qreal>(0, m_metrics.horizontalAdvance(text.sliced(position, 2).toString())));
    return *cached;
}

template <typename Found>
void WrappedLines::breakFrom(QStringView text, qsizetype from, Found found)
{
    qsizetype lineStart = from;
    qsizetype afterLastSpace = -1;
    qreal x = 0;
    qsizetype position = from;
    while (position < text.size()) {
        const QChar c = text[position];
        if (c == u'\n') {
            lineStart = ++position;
            afterLastSpace = -1;
            x = 0;
            if (!found(lineStart))
                return;
            continue;
        }
        // A run of tabs hangs past the width like spaces do, so it ends a
        // line only when the line is full: step over it at once.
        if (c == u'\t' && position - lineStart < maximumLineLength) {
            const qsizetype room = std::min(text.size(), lineStart + maximumLineLength) - position;
            qsizetype run = 1;
            while (run < room && text[position + run] == u'\t')
                ++run;
            x = m_tabStop * (std::floor(x / m_tabStop) + qreal(run));
            position += run;
            afterLastSpace = position;
            continue;
        }
        qsizetype length;
        const qreal width = advance(text, position, x, &length);
        const bool full = position - lineStart >= maximumLineLength;
        if (position > lineStart && (full || (!hangsAtLineEnd(c) && x + width > m_width))) {
            lineStart = afterLastSpace > lineStart && !full ? afterLastSpace : position;
            afterLastSpace = -1;
            // The word carried over is measured again, once: a word is carried
            // only from the line it began on.
            x = 0;
            for (qsizetype p = lineStart, step = 0; p < position; p += step)
                x += advance(text, p, x, &step);
            if (!found(lineStart))
                return;
            continue;
        }
        x += width;
        position += length;
        if (hangsAtLineEnd(c))
            afterLastSpace = position;
    }
}

void WrappedLines::wrap(QStringView text, qreal width)
{
    // However narrow the box, a line keeps room for a few characters.
    m_width = std::max(width, m_tabStop);
    m_starts.assign(1, 0);
    breakFrom(text, 0, [this](qsizetype start) {
        m_starts.push_back(start);
        return true;
    });
}

void WrappedLines::update(QStringView text, qsizetype position, qsizetype removed, qsizetype inserted)
{
    // A change of most of the text is broken anew, without looking for
    // where the old lines resume.
    if (2 * (inserted + removed) > text.size()) {
        wrap(text, m_width);
        return;
    }
    const qsizetype shift = inserted - removed;
    // A shorter first word on the changed line may now fit on the line before.
    const qsizetype first = std::max<qsizetype>(0, lineOf(position) - 1);
    std::vector<qsizetype> changed;
    // The old lines after the change, moved along: once a new line begins
    // where one of them does, every line after it is as it was.
    auto old = std::upper_bound(m_starts.begin(), m_starts.end(), position + removed);
    breakFrom(text, m_starts[size_t(first)], [&](qsizetype start) {
        changed.push_back(start);
        if (start < position + inserted)
            return true;
        while (old != m_starts.end() && *old + shift < start)
            ++old;
        return old == m_starts.end() || *old + shift != start;
    });
    std::vector<qsizetype> starts(m_starts.begin(), m_starts.begin() + first + 1);
    starts.insert(starts.end(), changed.begin(), changed.end());
    if (old != m_starts.end() && !changed.empty() && *old + shift == changed.back()) {
        for (++old; old != m_starts.end(); ++old)
            starts.push_back(*old + shift);
    }
    m_starts = std::move(starts);
}

qsizetype WrappedLines::end(QStringView text, qsizetype line) const
{
    if (line + 1 >= count())
        return text.size();
    const qsizetype next = start(line + 1);
    return text[next - 1] == u'\n' ? next - 1 : next;
}

qsizetype WrappedLines::lineOf(qsizetype position) const
{
    return qsizetype(std::upper_bound(m_starts.begin(), m_starts.end(), position) - m_starts.begin()) - 1;
}

} // namespace morvane
