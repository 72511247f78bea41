#pragma once

#include <juce_graphics/juce_graphics.h>

#include <optional>
#include <vector>

/** Where this machine's monitors are.

    Areas are in global desktop pixels, the coordinates in which the pointer
    moves and is warped; a desktop need not start at the origin, and the main
    display need not be the one at the origin.

    The program reads the desktop (desktop()); tests hand the application and
    the client a MemoryDisplaySource with the monitors they need. */
class DisplaySource
{
public:
    struct Display
    {
        juce::Rectangle<int> area;   // the whole monitor, menu bars and docks included
        bool isMain = false;

        bool operator== (Display const& other) const noexcept { return area == other.area && isMain == other.isMain; }
    };

    virtual ~DisplaySource() = default;

    /** The monitors, in the order the desktop lists them. */
    virtual std::vector<Display> getDisplays() const = 0;

    /** The monitors' areas, in order, as one list (overlaps kept as they are). */
    juce::RectangleList<int> getMonitorAreas() const;

    /** The smallest rectangle holding every monitor; empty without monitors. */
    juce::Rectangle<int> getTotalArea() const;

    /** The first monitor marked as the main display; none when none is marked. */
    std::optional<Display> getMainDisplay() const;

    /** The local desktop, as JUCE sees it. Read it on the message thread only. */
    static DisplaySource& desktop();
};
