// Monitors in physical pixels: JUCE lists scaled monitors with rounded
// logical sizes, and the X server says how large they really are.

#include "platform/DisplaySource.h"

#include <gtest/gtest.h>

TEST (DisplaySource, ScaledMonitorsTakeTheServersSizeNotTheirRoundedLogicalSizeTimesTheScale)
{
    using Display = DisplaySource::Display;
    using Rect = juce::Rectangle<int>;

    // 3200 x 1800 at 175% is listed as 1829 x 1029, 1366 x 768 as 781 x 439
    // (beside it, at 3200, 0); a display no server monitor starts at keeps
    // its own size.
    const std::vector<Display> listed {
        { { 0, 0, 1829, 1029 }, true, 1.75, juce::Point<int> (0, 0) },
        { { 1829, 0, 781, 439 }, false, 1.75, juce::Point<int> (3200, 0) },
        { { 2610, 0, 1000, 500 }, false, 1.0, juce::Point<int> (5000, 0) },
    };
    const std::vector<Rect> server { { 3200, 0, 1366, 768 }, { 0, 0, 3200, 1800 } };

    auto const displays = DisplaySource::withServerSizes (listed, server);
    ASSERT_EQ (displays.size(), 3u);
    EXPECT_EQ (displays[0].getPhysicalArea(), Rect (0, 0, 3200, 1800));
    EXPECT_EQ (displays[1].getPhysicalArea(), Rect (3200, 0, 1366, 768));
    EXPECT_EQ (displays[2].getPhysicalArea(), Rect (5000, 0, 1000, 500));
    EXPECT_EQ (listed[0].getPhysicalArea(), Rect (0, 0, 3201, 1801));   // what the rounded size gives
}
