#pragma once

#include <juce_graphics/juce_graphics.h>

#include <optional>
#include <vector>

/** Where this machine's monitors are.

    The desktop lists its monitors as JUCE does, in logical pixels with a
    scale each (a 1920 x 1080 screen at 200% is listed as 960 x 540 at scale
    2). Everything else here is in physical pixels, the global screen pixels
    in which the pointer moves, is warped and events are posted, and in which
    the system announces and lays out its desktops. A desktop need not start
    at the origin, and the main display need not be the one at the origin.

    The program reads the desktop (desktop()); tests hand the application and
    the client a MemoryDisplaySource with the monitors they need. */
class DisplaySource
{
public:
    struct Display
    {
        juce::Rectangle<int> area;   // the whole monitor, menu bars and docks included, in logical pixels
        bool isMain = false;
        double scale = 1.0;          // physical pixels per logical pixel

        /** Where the monitor starts in physical pixels; none: at its logical
            top-left times the scale. */
        std::optional<juce::Point<int>> topLeftPhysical {};

        /** The monitor's size in physical pixels, as the display server has
            it; none: its logical size times the scale. The logical size is
            rounded, so that product can be a pixel too large (3200 x 1800 at
            175% is listed as 1829 x 1029, which gives 3201 x 1801). */
        std::optional<juce::Point<int>> sizePhysical {};

        /** The whole monitor in physical pixels. */
        juce::Rectangle<int> getPhysicalArea() const;

        bool operator== (Display const& other) const noexcept
        {
            return area == other.area && isMain == other.isMain && scale == other.scale && topLeftPhysical == other.topLeftPhysical
                && sizePhysical == other.sizePhysical;
        }
    };

    virtual ~DisplaySource() = default;

    /** The monitors, in the order the desktop lists them, as it lists them. */
    virtual std::vector<Display> getDisplays() const = 0;

    /** The monitors' physical areas, in order, as one list (overlaps kept as they are). */
    juce::RectangleList<int> getMonitorAreas() const;

    /** The smallest rectangle holding every monitor, in physical pixels; empty without monitors. */
    juce::Rectangle<int> getTotalArea() const;

    /** The physical area of the first monitor marked as the main display;
        none when none is marked. */
    std::optional<juce::Rectangle<int>> getMainDisplayArea() const;

    /** The displays with the sizes of the display server's monitors (in
        physical pixels) that start where they do; a display no monitor
        matches keeps its own. */
    static std::vector<Display> withServerSizes (std::vector<Display> displays,
                                                 std::vector<juce::Rectangle<int>> const& serverMonitors);

    /** The local desktop, as JUCE lists it, with each monitor's physical size
        from the X server. Read it on the message thread only. */
    static DisplaySource& desktop();
};
