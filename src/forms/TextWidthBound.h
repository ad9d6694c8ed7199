#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QStringView>

#include <array>
#include <vector>

namespace morvane {

// Bounds the width a text measures in a font from a table, a lookup per
// character instead of shaping the text, so that Get measures a cell only
// where it could change its column. The table comes from the same text
// engine: each character alone, and each pair of neighbours when first seen
// (kerning, ligatures). It assumes shaping reaches no further than a pair;
// every cell measured anyway checks that, and one that fails ends the bounds.
// Texts with characters outside printable Latin-1, or with the soft hyphen
// (drawn only at a line break), are always measured.
class TextWidthBound
{
public:
    explicit TextWidthBound(const QFont &font);

    [[nodiscard]] const QFont &font() const { return m_font; }

    // Whole pixels at or below and at or above what
    // QFontMetrics(font).horizontalAdvance(text) returns; false when there
    // are none for this text.
    bool bound(QStringView text, int &lower, int &upper);

    // A width measured after bound() gave these bounds.
    void confirm(int measured, int lower, int upper);

private:
    double pairAdjustment(char16_t a, char16_t b);

    QFont m_font;
    QFontMetricsF m_metrics;
    // Negative for a character the table does not cover. Advances are whole
    // 1/64 pixels, which floats and their sums in doubles hold exactly.
    std::array<double, 256> m_advance;
    // The pair's width less its characters' own, measured on first use.
    std::vector<float> m_pairs;
    bool m_trusted = true;
};

} // namespace morvane
