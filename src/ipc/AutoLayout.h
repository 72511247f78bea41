#pragma once

#include <juce_graphics/juce_graphics.h>

#include <vector>

/** The automatic layout's numbers.

    A lone machine is centred in a content of 1.2 times its desktop; otherwise
    the content is 1.2 times the sums of all widths and of all heights, and the
    machines stand side by side, without a gap, their top edges on one line, the
    first at a tenth of the content's width, vertically centred for the tallest.
    Sums wrap as 32-bit ints; products are taken in double and truncated toward
    zero, saturating at the int range (sizes a peer sends may be anything). */
namespace AutoLayout
{
    struct Result
    {
        int contentWidth = 0;
        int contentHeight = 0;
        std::vector<juce::Point<int>> places;   // one per desktop, in the order given
    };

    /** 'desktops' holds each machine's desktop size, in ascending machine ID order. */
    Result compute (std::vector<juce::Point<int>> const& desktops);
}
