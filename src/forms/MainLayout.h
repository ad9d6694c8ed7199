#pragma once

namespace morvane {

// Where the query window's controls go for a given outer window size. All
// values are in twips, each as the control reports it once set (whole
// pixels), because every step reads back what an earlier step wrote.
struct MainLayout
{
    float selectFrameHeight;
    float executeFrameTop;
    float resultsHeight;
    float selectFrameWidth;
    float executeFrameWidth;
    float resultsWidth;
    float executeBoxWidth;
    float executeButtonLeft;
    float selectBoxWidth;
    float outlineLeft;
    float getButtonLeft;
};

// The design values the layout keeps fixed.
namespace design {
inline constexpr float executeFrameHeight = 2145;
inline constexpr float resultsLeft = 45;
inline constexpr float resultsTop = 2715;
inline constexpr float outlineWidth = 1890;
inline constexpr float selectBoxLeft = 645;
inline constexpr float executeButtonWidth = 1125;
// The narrowest outer width at which no width below goes negative or clamps.
inline constexpr float minimumOuterWidth = 180 + 2 * resultsLeft + 30 + outlineWidth + selectBoxLeft;
} // namespace design

// The layout for outer height and width in twips, at the given scale. A pure
// function of its arguments, in single precision.
[[nodiscard]] MainLayout computeMainLayout(float outerHeight, float outerWidth, float twipsPerPixel);

} // namespace morvane
