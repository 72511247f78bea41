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
            result.push_back ({ display.totalArea, display.isMain });

        return result;
    }
};
} // namespace

juce::RectangleList<int> DisplaySource::getMonitorAreas() const
{
    juce::RectangleList<int> areas;

    for (auto const& display : getDisplays())
        areas.addWithoutMerging (display.area);

    return areas;
}

juce::Rectangle<int> DisplaySource::getTotalArea() const
{
    return getMonitorAreas().getBounds();
}

std::optional<DisplaySource::Display> DisplaySource::getMainDisplay() const
{
    for (auto const& display : getDisplays())
        if (display.isMain)
            return display;

    return std::nullopt;
}

DisplaySource& DisplaySource::desktop()
{
    static DesktopDisplaySource source;
    return source;
}
