#pragma once

#include "ipc/Machine.h"
#include "platform/DisplaySource.h"

#include <juce_data_structures/juce_data_structures.h>

/*  Machine and monitor information trees.

    A tree is a juce::ValueTree of type "newMonitorInfo", "changedMonitorInfo" or
    "machineInfo". Its child 0 is "totalArea", followed by one "monitor" per
    monitor, each with the int properties "x", "y", "width", "height" in that
    order. "changedMonitorInfo" carries "ID" (int); "machineInfo" carries "IP"
    (string), "port" (int), "OS" (string) and "ID" (int), in that order. Peers on
    other systems read the stream form of these trees, so names, order and value
    types are part of the protocol.
*/

/** A "newMonitorInfo" (isNew) or "changedMonitorInfo" tree describing the
    monitors of a display source and their bounding box. The desktop's source
    is read on the message thread only. */
juce::ValueTree createMonitorInfo (bool isNew, DisplaySource const& displays = DisplaySource::desktop());

/** Appends "totalArea" for 'total' and one "monitor" per rectangle of 'monitors'
    to 'tree'. Does nothing to an invalid tree. */
void addMonitorInfo (juce::RectangleList<int> const& monitors, juce::Rectangle<int> total, juce::ValueTree& tree);

/** A "machineInfo" tree for a record, with "ID" = id. Logs the tree. The caller
    holds the lock that guards the record. */
juce::ValueTree createMachineInfo (Machine const* machine, int id);

/** Reads the total area (the first "totalArea" child) and the monitors (every
    child from index 1 on) of a tree of any of the three types. 'monitors' is
    added to, not cleared; zero-sized rectangles are dropped and overlaps merged.
    A monitor reaching beyond a billion pixels from the origin, which no desktop
    has, is dropped too: merging it would overflow JUCE's int arithmetic. */
void decodeMonitorInfo (juce::RectangleList<int>& monitors, juce::Rectangle<int>& total, juce::ValueTree const& tree);

/** The longest side a machine's desktop may have. The largest monitors are
    under 16,000 pixels wide; four of them side by side stay far below this. */
constexpr int maxDesktopSide = 1 << 16;

/** True for a desktop some machine can have: a size of 0 to maxDesktopSide
    on each side, at most a billion pixels from the origin. A larger one, which
    only a damaged or hostile tree announces, is refused where it is received:
    laid out and shown, it would make every view that draws it hundreds of
    millions of pixels large. */
bool isPossibleDesktop (juce::Rectangle<int> total);

/** A property value read as an int the way juce::var converts it (ints as they
    are, numeric texts as their number, anything missing as 0), but safe for any
    value a peer may send: doubles out of range are limited and NaN reads as 0. */
int propertyAsInt (juce::var const& value);
