#pragma once

#include <juce_core/juce_core.h>
#include <juce_graphics/juce_graphics.h>

#include <map>
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
        pixel 'end' after the last motion. When no reading from 'start' ends
        there, the pointer was elsewhere when the motions began: they are read
        as moves (where they may be) when they lead to 'end' from some start. */
    static std::vector<bool> readAsPositions (juce::Point<double> start, const std::vector<Motion>& motions,
                                              juce::Point<int> screenSize, std::optional<juce::Point<int>> end);

    /** Where a pointer at 'from' is after the motions, read as given. */
    static juce::Point<double> follow (juce::Point<double> from, const std::vector<Motion>& motions,
                                       const std::vector<bool>& asPositions, juce::Point<int> screenSize);

    /** Where a run of motions, all read as moves, started when it ended at
        'end': the moves taken back one by one. Where a move ended on a
        screen's edge it pushed against, it is taken to have started there
        (resting on it), the least travel that explains the end. None when a
        motion is read as a position (the start did not decide the end). */
    static std::optional<juce::Point<double>> startOf (juce::Point<int> end, const std::vector<Motion>& motions,
                                                       const std::vector<bool>& asPositions, juce::Point<int> screenSize);

    /** Readings kept open at each step; beyond that the costliest are dropped. */
    static constexpr size_t maxReadings = 16;

    /** Pointing devices that send positions in units of their own (tablets,
        touch screens, a virtual machine's pointer), which the server spreads
        over the screen. A device's delta is between its own successive
        positions, wherever the pointer was put in between (it is held at the
        warp point while the input goes elsewhere). */
    class Positions
    {
    public:
        struct Read
        {
            juce::Point<double> position;   // on the screen
            juce::Point<double> delta;      // from the device's previous position; none for its first
        };

        /** A motion of device 'id' whose axes span those ranges; a missing
            value is where the device last was (the pointer's, for its first). */
        Read read (int id, juce::Range<double> xRange, juce::Range<double> yRange, const Motion& motion,
                   juce::Point<double> pointer, juce::Point<int> screenSize);

        /** The device's positions are forgotten: its ID may name another device now. */
        void forget (int id)   { last.erase (id); }
        void forgetAll()       { last.clear(); }

    private:
        std::map<int, juce::Point<double>> last;
    };
};
