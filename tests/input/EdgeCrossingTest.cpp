// The edge crossing and the virtual cursor; what is queued is read from the
// datagrams a real SocketThread sends.

#include "support/ListenerRig.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using Point = juce::Point<double>;

namespace
{
// Two monitors, the main one at the origin, placed at 500, 200 on the virtual
// desktop, with a machine beyond each edge (and 6 below the right one).
const juce::Rectangle<int> desktop { -1280, 0, 3200, 1080 };
const juce::Rectangle<int> ownArea { 500, 200, 3200, 1080 };
const Point warpPoint { 700, 400 };   // not the desktop's centre

struct Layout : ListenerRig
{
    Layout()
    {
        host.setOwnDesktop (desktop);
        host.setOwnArea (ownArea);
        host.setWarpPoint (warpPoint);
        host.addTile (1, ownArea);
        addMachine (2, { 3700, 200, 1920, 1080 });
        addMachine (3, { -1420, 200, 1920, 1080 });
        addMachine (4, { 500, -880, 1920, 1080 });
        addMachine (5, { 500, 1280, 1920, 1080 });
        addMachine (6, { 3700, 1280, 1920, 1080 });
    }

    void move (Point from, Point to, bool drag = false)
    {
        host.setLocalCursor (from);
        listener.digestNewMousePosition (to.x, to.y, to.x - from.x, to.y - from.y, drag);
    }

    /** A move as the tap reports it: where it put the pointer, and its own
        delta (which a screen's edge may have stopped short). */
    void report (Point to, Point delta)
    {
        listener.digestNewMousePosition (to.x, to.y, delta.x, delta.y, false);
    }
};
} // namespace

TEST (EdgeCrossing, AMoveThatReachesAnEdgeFromInsideSwitchesToTheMachineBeyond)
{
    REQUIRE_PRIVATE_NETWORK();

    const std::tuple<const char*, Point, Point, int, Point> moves[] = {
        { "right",  { 1918, 500 },  { 1919, 500 },  2,  { 3709, 700 } },   // ax + aw + 9
        { "left",   { -1279, 500 }, { -1280, 500 }, 3,  { 490, 700 } },
        { "top",    { 100, 1 },     { 100, 0 },     4,  { 1880, 190 } },
        { "bottom", { 100, 1078 },  { 100, 1079 },  5,  { 1880, 1289 } },
        { "right",  { 1919, 500 },  { 1919, 501 },  -1, { 3699, 701 } },   // along the edge
        { "top",    { 1900, 1 },    { 1900, 0 },    -1, { 3680, 200 } },   // nothing beyond
    };

    for (auto& [edge, from, to, target, virtualCursor] : moves)
    {
        LogCapture log;
        Layout l;
        l.move (from, to);
        const auto why = juce::String (edge) + " to " + juce::String (target);

        EXPECT_EQ (l.host.getShownVirtualCursor(), virtualCursor) << why;

        if (target < 0)
        {
            EXPECT_TRUE (l.host.getCalls().empty()) << why;
            EXPECT_TRUE (l.platform.getWarps().empty()) << why;
            EXPECT_EQ (l.host.getLocalCursor(), to) << why;
            continue;
        }

        EXPECT_THAT (l.host.getCalls(), ElementsAre ("prepareLocalAndRemote " + juce::String (target) + " false",
                                                     "requestClipboardFromTo 1 " + juce::String (target))) << why;
        EXPECT_TRUE (log.contains ("Leave active to " + juce::String (edge)) && log.contains ("switchOccured")) << why;
        EXPECT_THAT (l.platform.getWarps(), ElementsAre (warpPoint)) << why;
    }
}

TEST (EdgeCrossing, RemoteMovesDriveTheVirtualCursorPassOnAndComeHome)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    Layout l;
    auto& host = l.host;
    auto& platform = l.platform;
    auto by = [&] (double dx, double dy, bool drag = false) { l.move (warpPoint, warpPoint + Point (dx, dy), drag); };

    l.sendTo (2);
    host.setVirtualCursor ({ 3709, 700 });

    // Off every machine: dropped, the pointer still held at the warp point.
    // Then two positions that round alike: one record.
    by (0, -600);
    EXPECT_EQ (host.getShownVirtualCursor(), Point (3709, 700));
    EXPECT_THAT (platform.getWarps(), ElementsAre (warpPoint));
    by (0.4, 0);
    by (-0.1, 0);
    EXPECT_THAT (l.takeSent (2), ElementsAre ("Move mouse to: 3709.4_700 flags: 256"));

    // A drag onto a third machine: the old receiver goes idle, clipboard and
    // input pass on, and the drag goes to the new receiver.
    by (0, 600, true);
    EXPECT_THAT (host.getCalls(), ElementsAre ("sendToServer Mode change idle ID: 2", "requestClipboardFromTo 2 6",
                                               "prepareLocalAndRemote 6 false"));
    EXPECT_THAT (l.takeSent (6), ElementsAre ("Drag mouse to: 3709.3_1300 flags: 256"));

    // Onto the own area: control comes back and the pointer reappears where
    // the virtual cursor left, by one marked move, not a warp: at the corner
    // it came through, inside the desktop (the virtual cursor maps to 1929.3, 1100).
    host.clearCalls();
    platform.clearRecords();
    by (-100, -600);
    EXPECT_THAT (host.getCalls(), ElementsAre ("sendToServer Mode change idle ID: 6", "takeBackControl"));
    EXPECT_TRUE (log.contains ("switchBackOccured"));
    EXPECT_THAT (platform.getPostedEvents(), ElementsAre (InputEvent::mouseMove ({ 1919, 1079 })));
    EXPECT_EQ (platform.getShowCursorCount(), 1);
    EXPECT_TRUE (platform.getWarps().empty());

    // Remote while the SocketThread does not send: the cursor moves, nothing is queued.
    host.setActiveMonitorID (2);
    host.setVirtualCursor ({ 3709, 700 });
    by (5, 0);
    EXPECT_EQ (host.getShownVirtualCursor(), Point (3714, 700));
    EXPECT_EQ (l.socketThread.lastX.load(), 3709);
}

TEST (EdgeCrossing, AMoveLeavesOnlyWhenItReachesTheEdgeFromWhereTheLastOneEnded)
{
    REQUIRE_PRIVATE_NETWORK();

    // The pointer as the last move left it; the next move as the tap reports
    // it: on the edge, with the delta the hand made (the edge stopped it).
    const std::tuple<const char*, Point, Point, Point, int> moves[] = {
        { "in to the right edge",        { 1916, 500 },  { 1919, 500 },  { 5, 0 },   2 },
        { "in to the left edge",         { -1279, 500 }, { -1280, 500 }, { -4, 0 },  3 },
        { "pushed on at the right edge", { 1919, 500 },  { 1919, 500 },  { 5, 0 },   -1 },
        { "pushed on at the left edge",  { -1280, 500 }, { -1280, 500 }, { -5, 0 },  -1 },
        { "pushed on at the top",        { 100, 0 },     { 103, 0 },     { 3, -2 },  -1 },
        { "away from the bottom",        { 100, 1079 },  { 100, 1070 },  { 0, -9 },  -1 },
    };

    for (auto& [what, last, to, delta, target] : moves)
    {
        Layout l;
        l.host.setLocalCursor (last);
        l.report (to, delta);

        if (target < 0)
            EXPECT_TRUE (l.host.getCalls().empty()) << what;
        else
            EXPECT_THAT (l.host.getCalls(), ::testing::Contains ("prepareLocalAndRemote " + juce::String (target) + " false")) << what;

        EXPECT_EQ (l.host.getLocalCursor(), target < 0 ? to : warpPoint) << what;
    }
}

TEST (EdgeCrossing, ComingHomeLandsOnTheEdgeItCameAcrossAndAMoveBackOutLeavesAgain)
{
    REQUIRE_PRIVATE_NETWORK();

    // From each machine beside an edge, a move back onto the own area; the
    // virtual cursor starts 9 pixels beyond the edge.
    const std::tuple<int, Point, Point, Point> returns[] = {
        { 2, { 3709, 700 }, { -20, 0 },  { 1919, 500 } },
        { 3, { 490, 700 },  { 20, 0 },   { -1280, 500 } },
        { 4, { 1880, 190 }, { 0, 20 },   { 100, 0 } },
        { 5, { 1880, 1289 }, { 0, -20 }, { 100, 1079 } },
    };

    for (auto& [from, virtualCursor, back, home] : returns)
    {
        Layout l;
        l.sendTo (from);
        l.host.setVirtualCursor (virtualCursor);
        l.move (warpPoint, warpPoint + back);
        EXPECT_THAT (l.platform.getPostedEvents(), ElementsAre (InputEvent::mouseMove (home))) << from;

        // The pointer rests there: pushing on into the same edge stays; a
        // move in and back out to it leaves again.
        l.host.clearCalls();
        const auto outward = -back / 10;
        l.report (home, outward);
        EXPECT_TRUE (l.host.getCalls().empty()) << from;
        l.report (home - outward, -outward);
        l.report (home, outward);
        EXPECT_THAT (l.host.getCalls(), ::testing::Contains ("prepareLocalAndRemote " + juce::String (from) + " false")) << from;
    }
}
