#include "TextWidthBound.h"

#include <QString>

#include <cmath>
#include <limits>

namespace morvane {

TextWidthBound::TextWidthBound(const QFont &font) : m_font(font), m_metrics(font)
{
    for (char16_t c = 0; c < 256; ++c) {
        const bool covered = ((c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c != 0xAD)) && m_metrics.inFont(QChar(c));
        m_advance[c] = covered ? m_metrics.horizontalAdvance(QString(QChar(c))) : -1;
    }
}

bool TextWidthBound::bound(QStringView text, int &lower, int &upper)
{
    if (!m_trusted)
        return false;
    double low = 0;
    double high = 0;
    char16_t previous = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c > 0xFF || m_advance[c] < 0)
            return false;
        low += m_advance[c];
        high += m_advance[c];
        if (i > 0) {
            const double adjustment = pairAdjustment(previous, c);
            (adjustment < 0 ? low : high) += adjustment;
        }
        previous = c;
    }
    // The measured width is rounded to whole pixels the same way, half up.
    lower = int(std::floor(low + 0.5));
    upper = int(std::floor(high + 0.5));
    return true;
}

void TextWidthBound::confirm(int measured, int lower, int upper)
{
    if (measured < lower || measured > upper)
        m_trusted = false;
}

double TextWidthBound::pairAdjustment(char16_t a, char16_t b)
{
    if (m_pairs.empty())
        m_pairs.assign(256 * 256, std::numeric_limits<float>::quiet_NaN());
    float &adjustment = m_pairs[size_t(a) * 256 + b];
    if (std::isnan(adjustment)) {
        const QChar pair[] = {QChar(a), QChar(b)};
        adjustment = float(m_metrics.horizontalAdvance(QString(pair, 2)) - m_advance[a] - m_advance[b]);
    }
    return adjustment;
}

} // namespace morvane
