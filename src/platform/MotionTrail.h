#pragma once

#include <juce_core/juce_core.h>
#include <juce_graphics/juce_graphics.h>

#include <optional>
#include <vector>

/** Where each of a run of pointer motions left the pointer.

    A motion carries two values (either may be missing). Depending on where it
    came from they are a position the pointer went to, or a move by that much
    from wherever the pointer was; some sources send both kinds the same way,
    so that a motion alone does not tell which it is. A move stops at the
    screen's edges; a position lands within them.

    For such a run the reading is chosen that ends where the pointer is known
    to have ended (when that is known), with as little travel as possible:
    sources send either kind in runs of their own, and a move read as a
    position (or the other way) makes the pointer jump across the screen. */
class MotionTrail
{
public:
    struct Motion
    {
        juce::Point<double> values;
        bool hasX = true, hasY = true;   // a missing position value keeps the pointer's; a missing move value is 0
        bool mayBePosition = true;
        bool mayBeMove = true;
    };

    /** Where a pointer at 'from' is after the motion, read as a position or as
        a move, within the screen (0, 0, width, height). */
    static juce::Point<double> apply (juce::Point<double> from, const Motion& motion, bool asPosition,
                                      juce::Point<int> screenSize);

    /** The pixel a position lies in. */
    static juce::Point<int> pixelOf (juce::Point<double> position);

    /** For each motion, whether it is read as a position (else as a move), for
        a pointer that started at 'start' and, when 'end' is known, is at the
        pixel 'end' after the last motion. */
    static std::vector<bool> readAsPositions (juce::Point<double> start, const std::vector<Motion>& motions,
                                              juce::Point<int> screenSize, std::optional<juce::Point<int>> end);

    /** Readings kept open at each step; beyond that the costliest are dropped. */
    static constexpr size_t maxReadings = 16;
};
