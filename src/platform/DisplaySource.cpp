#include "platform/DisplaySource.h"

#include <juce_gui_basics/juce_gui_basics.h>

namespace
{
class DesktopDisplaySource : public DisplaySource
{
public:
    std::vector<Display> getDisplays() const override
    {
        std::vector<Display> result;

        for (auto const& display : juce::Desktop::getInstance().getDisplays().displays)
            result.push_back ({ display.totalArea, display.isMain, display.scale, display.topLeftPhysical });

        return result;
    }
};
} // namespace

juce::Rectangle<int> DisplaySource::Display::getPhysicalArea() const
{
    auto const origin = topLeftPhysical.value_or ((area.getPosition().toDouble() * scale).roundToInt());
    return { origin.x, origin.y, juce::roundToInt (area.getWidth() * scale), juce::roundToInt (area.getHeight() * scale) };
}

juce::RectangleList<int> DisplaySource::getMonitorAreas() const
{
    juce::RectangleList<int> areas;

    for (auto const& display : getDisplays())
        areas.addWithoutMerging (display.getPhysicalArea());

    return areas;
}

juce::Rectangle<int> DisplaySource::getTotalArea() const
{
    return getMonitorAreas().getBounds();
}

std::optional<juce::Rectangle<int>> DisplaySource::getMainDisplayArea() const
{
    for (auto const& display : getDisplays())
        if (display.isMain)
            return display.getPhysicalArea();

    return std::nullopt;
}

DisplaySource& DisplaySource::desktop()
{
    static DesktopDisplaySource source;
    return source;
}
