#include "platform/DisplaySource.h"

#include "platform/X11Backend.h"

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

        return withServerSizes (std::move (result), readX11MonitorAreas());
    }
};
} // namespace

juce::Rectangle<int> DisplaySource::Display::getPhysicalArea() const
{
    auto const origin = topLeftPhysical.value_or ((area.getPosition().toDouble() * scale).roundToInt());
    auto const size = sizePhysical.value_or (juce::Point<int> (juce::roundToInt (area.getWidth() * scale),
                                                               juce::roundToInt (area.getHeight() * scale)));
    return { origin.x, origin.y, size.x, size.y };
}

std::vector<DisplaySource::Display> DisplaySource::withServerSizes (std::vector<Display> displays,
                                                                    std::vector<juce::Rectangle<int>> const& serverMonitors)
{
    for (auto& display : displays)
    {
        auto const origin = display.getPhysicalArea().getPosition();

        for (auto const& monitor : serverMonitors)
        {
            if (monitor.getPosition() == origin && ! monitor.isEmpty())
            {
                display.sizePhysical = juce::Point<int> (monitor.getWidth(), monitor.getHeight());
                break;
            }
        }
    }

    return displays;
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
