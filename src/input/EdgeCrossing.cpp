#include "input/EdgeCrossing.h"

#include "core/Logging.h"

#include <cmath>
#include <limits>

namespace
{
// Coordinates come from the desktop and from deltas summed up; clamp before
// converting, so that no value, however wild, converts out of range.
int toInt (double value)
{
    if (std::isnan (value))
        return 0;

    constexpr auto lowest = (double) std::numeric_limits<int>::min();
    constexpr auto highest = (double) std::numeric_limits<int>::max();
    return (int) juce::jlimit (lowest, highest, value);
}

/** Toward zero. */
int truncated (double value)        { return toInt (std::trunc (value)); }

/** To the nearest integer, halves away from zero. */
int rounded (double value)          { return toInt (std::round (value)); }
} // namespace

EdgeCrossing::EdgeCrossing (InputHost& appToUse, InputPlatform& platformToUse, SocketThread& socketThreadToUse)
    : app (appToUse), platform (platformToUse), socketThread (socketThreadToUse)
{
}

void EdgeCrossing::digestNewMousePosition (double x, double y, double dx, double dy, bool isDrag)
{
    if (socketThread.getMode() == SocketThread::Receiving)
        DBGOrLog ("Socket thread receving, still digesting mouse position?");

    const int ownID = app.getOwnID();
    const bool local = app.getActiveMonitorID() == ownID;

    // A move starts where the last digested one ended (the local cursor): a
    // pointer resting on an edge and pushed further does not leave, only a
    // move that reaches the edge from inside does. The tap reports each move
    // where it put the pointer, and the local cursor follows the pointer also
    // where nothing is digested (the tap's start, warps by other programs,
    // jumps too large to digest, coming home). While the input is away, the
    // pointer is held at the warp point and only the delta counts.
    const auto old = app.getLocalCursor();
    const auto moved = local ? juce::Point<double> (x, y) : old + juce::Point<double> (dx, dy);
    app.setLocalCursor (moved);

    const auto area = app.getOwnArea();

    if (! area.has_value())
        return;

    if (local)
        digestLocal (old, moved, *area, ownID);
    else
        digestRemote (moved, dx, dy, isDrag, *area, ownID);
}

void EdgeCrossing::digestLocal (juce::Point<double> old, juce::Point<double> moved,
                                juce::Rectangle<int> area, int ownID)
{
    const auto desktop = app.getOwnDesktop();
    const int x0 = desktop.getX(), y0 = desktop.getY();
    const int ax = area.getX(), ay = area.getY();

    auto virtualX = [&] (double localX) { return truncated (localX) + ax - x0; };
    auto virtualY = [&] (double localY) { return truncated (localY) + ay - y0; };

    int target = -1;

    auto probe = [&] (int vx, int vy, const char* line)
    {
        const int found = app.getIDOfMachineAt (vx, vy);

        if (found < 0 || found == ownID)
            return false;

        DBGOrLog (line);
        target = found;
        return true;
    };

    // Each test sees the position as the tests before it left it; through a
    // corner the last machine found wins.
    if (moved.x <= x0 && old.x > x0
        && probe (ax - probeDistance, virtualY (moved.y), "Leave active to left"))
        moved.x -= probeDistance;

    if (moved.y <= y0 && old.y > y0
        && probe (virtualX (moved.x), ay - probeDistance, "Leave active to top"))
        moved.y -= probeDistance;

    if (moved.x >= desktop.getRight() - 1 && old.x < moved.x
        && probe (area.getRight() + probeDistance, virtualY (moved.y), "Leave active to right"))
        moved.x += probeDistance;

    if (moved.y >= desktop.getBottom() - 1 && old.y < moved.y
        && probe (virtualX (moved.x), area.getBottom() + probeDistance, "Leave active to bottom"))
        moved.y += probeDistance;

    if (target >= 0)
    {
        app.prepareLocalAndRemote (target, false);

        if (app.getActiveMonitorID() != ownID)
        {
            app.requestClipboardFromTo (ownID, target);
            DBGOrLog ("switchOccured");
            warpHome();
            DBGOrLog ("Warp position");
        }
        else
        {
            // The switch was refused (the input cannot be withheld while a
            // button is held down for a drag): the move did not complete, so
            // the next push from where the pointer now rests on the edge
            // still counts as reaching it from inside and crosses.
            app.setLocalCursor (old);
        }
    }

    const juce::Point<double> virtualCursor (virtualX (moved.x), virtualY (moved.y));
    app.setVirtualCursor (virtualCursor);
    app.updateVirtualMonitorPosition (virtualCursor);
}

void EdgeCrossing::digestRemote (juce::Point<double> moved, double dx, double dy, bool isDrag,
                                 juce::Rectangle<int> area, int ownID)
{
    const auto warpPoint = app.getWarpPoint();
    auto virtualCursor = app.getVirtualCursor();

    // Where the delta would take the virtual cursor.
    const auto probe = moved + virtualCursor - warpPoint;
    const int machine = app.getIDOfMachineAt (truncated (probe.x), truncated (probe.y));

    if (machine < 0)
    {
        warpHome();
        app.updateVirtualMonitorPosition (virtualCursor);
        return;
    }

    const int receiver = app.getActiveMonitorID();

    if (machine != receiver)
    {
        app.sendToServer ("Mode change idle ID: " + juce::String (receiver));

        if (machine == ownID)
        {
            app.takeBackControl();
        }
        else
        {
            app.requestClipboardFromTo (receiver, machine);
            app.prepareLocalAndRemote (machine, false);
        }
    }

    if (app.getActiveMonitorID() == ownID)
    {
        DBGOrLog ("switchBackOccured");

        // The pointer reappears where the virtual cursor left the machine it
        // drove, on the edge of this desktop it came across (the virtual
        // cursor itself still lies beyond it): inside the desktop, so that the
        // next push into the same edge leaves again. The platform marks what
        // it posts, so the own tap lets it pass.
        const auto desktop = app.getOwnDesktop();
        const auto beyond = virtualCursor + juce::Point<double> (desktop.getX() - area.getX(),
                                                                desktop.getY() - area.getY());
        auto within = [] (double value, int low, int high) { return juce::jmax ((double) low, juce::jmin ((double) high - 1.0, value)); };
        const juce::Point<double> home (within (beyond.x, desktop.getX(), desktop.getRight()),
                                        within (beyond.y, desktop.getY(), desktop.getBottom()));
        app.setLocalCursor (home);
        platform.postEvent (InputEvent::mouseMove (home));
        platform.showCursor();
        return;
    }

    virtualCursor += juce::Point<double> (dx, dy);
    app.setVirtualCursor (virtualCursor);

    if (socketThread.getMode() == SocketThread::Sending)
    {
        const int x = rounded (virtualCursor.x), y = rounded (virtualCursor.y);

        if (x != socketThread.lastX.load() || y != socketThread.lastY.load())
        {
            socketThread.lastX = x;
            socketThread.lastY = y;

            socketThread.queueEvent ([&] (SocketThread::EventPlusData& e)
            {
                e.type = isDrag ? 1 : 0;
                e.x = virtualCursor.x;
                e.y = virtualCursor.y;
            });
        }
    }

    warpHome();
    app.updateVirtualMonitorPosition (virtualCursor);
}

void EdgeCrossing::warpHome()
{
    const auto warpPoint = app.getWarpPoint();
    app.setLocalCursor (warpPoint);
    platform.warpPointer (warpPoint);
}
