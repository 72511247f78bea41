#include "ipc/MyQuillsteadIPC.h"

#include "core/Logging.h"

#include <cmath>
#include <limits>

namespace
{
juce::ValueTree makeRectangleTree (juce::Identifier const& type, juce::Rectangle<int> area)
{
    juce::ValueTree tree (type);
    tree.setProperty ("x", area.getX(), nullptr);
    tree.setProperty ("y", area.getY(), nullptr);
    tree.setProperty ("width", area.getWidth(), nullptr);
    tree.setProperty ("height", area.getHeight(), nullptr);
    return tree;
}

juce::Rectangle<int> readRectangle (juce::ValueTree const& tree)
{
    return { propertyAsInt (tree.getProperty ("x")), propertyAsInt (tree.getProperty ("y")),
             propertyAsInt (tree.getProperty ("width")), propertyAsInt (tree.getProperty ("height")) };
}
} // namespace

int propertyAsInt (juce::var const& value)
{
    if (value.isDouble())
    {
        // juce::var converts with a plain cast, undefined for NaN and values out of range.
        auto d = (double) value;

        if (std::isnan (d))
            return 0;

        return (int) juce::jlimit ((double) std::numeric_limits<int>::min(), (double) std::numeric_limits<int>::max(), d);
    }

    if (value.isString())
    {
        // As juce::String::getIntValue reads it, without its overflow on "-2147483648".
        auto p = value.toString().getCharPointer().findEndOfWhitespace();
        bool negative = *p == '-';

        if (negative)
            ++p;

        juce::uint32 magnitude = 0;

        for (auto c = p.getAndAdvance(); c >= '0' && c <= '9'; c = p.getAndAdvance())
            magnitude = magnitude * 10u + (juce::uint32) (c - '0');

        return (int) (negative ? 0u - magnitude : magnitude);
    }

    return (int) value;
}

juce::ValueTree createMonitorInfo (bool isNew, DisplaySource const& displays)
{
    juce::ValueTree tree (isNew ? "newMonitorInfo" : "changedMonitorInfo");
    auto monitors = displays.getMonitorAreas();
    addMonitorInfo (monitors, monitors.getBounds(), tree);
    return tree;
}

void addMonitorInfo (juce::RectangleList<int> const& monitors, juce::Rectangle<int> total, juce::ValueTree& tree)
{
    if (! tree.isValid())
        return;

    tree.appendChild (makeRectangleTree ("totalArea", total), nullptr);

    for (auto const& monitor : monitors)
        tree.appendChild (makeRectangleTree ("monitor", monitor), nullptr);
}

juce::ValueTree createMachineInfo (Machine const* machine, int id)
{
    juce::ValueTree tree ("machineInfo");
    tree.setProperty ("IP", machine->IP, nullptr);
    tree.setProperty ("port", machine->port, nullptr);
    tree.setProperty ("OS", machine->OS, nullptr);
    tree.setProperty ("ID", id, nullptr);
    addMonitorInfo (machine->displays, machine->totalArea, tree);

    DBGOrLog ("createMachineInfo:");
    DBGOrLog (Logging::excerpt (tree.toXmlString()));
    return tree;
}

bool isPossibleDesktop (juce::Rectangle<int> total)
{
    constexpr int reach = 1 << 30;

    return juce::isPositiveAndNotGreaterThan (total.getWidth(), maxDesktopSide)
        && juce::isPositiveAndNotGreaterThan (total.getHeight(), maxDesktopSide)
        && total.getX() >= -reach && total.getX() <= reach
        && total.getY() >= -reach && total.getY() <= reach;
}

void decodeMonitorInfo (juce::RectangleList<int>& monitors, juce::Rectangle<int>& total, juce::ValueTree const& tree)
{
    total = readRectangle (tree.getChildWithName ("totalArea"));

    for (int i = 1; i < tree.getNumChildren(); ++i)
    {
        auto const monitor = readRectangle (tree.getChild (i));
        constexpr juce::int64 reach = 1 << 30;

        if (monitor.getX() >= -reach && monitor.getY() >= -reach
             && (juce::int64) monitor.getX() + monitor.getWidth() <= reach
             && (juce::int64) monitor.getY() + monitor.getHeight() <= reach)
            monitors.add (monitor);
    }
}
