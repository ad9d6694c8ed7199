#include "MainLayout.h"

#include "Design.h"

#include <algorithm>

namespace morvane {

MainLayout computeMainLayout(float outerHeight, float outerWidth, float twipsPerPixel)
{
    const Twips twips(twipsPerPixel);
    const auto reported = [&twips](float value) { return twips.asReported(value); };
    const auto clamped = [](float value) { return std::max(value, 0.0f); };
    MainLayout layout{};

    float v = clamped(outerHeight - reported(design::executeFrameHeight) - 465);
    layout.selectFrameHeight = reported(v);
    // The lower frame starts at the upper frame's height plus 30, not below its
    // bottom edge: the two frames overlap by 15 twips, as designed.
    layout.executeFrameTop = reported(v + 30);
    v = clamped(v - reported(design::resultsTop) - 60);
    layout.resultsHeight = reported(v);

    v = clamped(outerWidth - 180);
    layout.selectFrameWidth = reported(v);
    layout.executeFrameWidth = reported(v);
    v = clamped(v - 2 * reported(design::resultsLeft) - 30);
    layout.resultsWidth = reported(v);
    layout.executeBoxWidth = reported(v - 30);
    // The button's right edge sits at the box's width, not its right edge.
    v = clamped(layout.executeBoxWidth - reported(design::executeButtonWidth));
    layout.executeButtonLeft = reported(v);

    v = clamped(layout.resultsWidth - reported(design::outlineWidth) - reported(design::selectBoxLeft));
    layout.selectBoxWidth = reported(v);
    layout.outlineLeft = reported(layout.selectBoxWidth + reported(design::selectBoxLeft) + 30);
    // Width less left offset, not a right-edge alignment: the Get button ends
    // 45 twips short of the select box's right edge at every width.
    v = clamped(layout.selectBoxWidth - reported(design::selectBoxLeft) + 30);
    layout.getButtonLeft = reported(v);
    return layout;
}

} // namespace morvane
