#pragma once

#include "input/InputHost.h"
#include "input/SocketThread.h"
#include "platform/InputPlatform.h"

/** Digests the pointer moves of the machine whose keyboard and mouse are in
    use, on the event-tap thread.

    While the input stays local (the active machine is this one), a move that
    reaches an edge of the local desktop from inside asks the layout which
    machine lies 10 pixels beyond it on the virtual desktop and, when there is
    one, sends the input there: the pointer is then held at the warp point. A
    move starts where the last digested move ended (the local cursor), so a
    pointer resting on an edge and pushed further stays.

    While the input goes to another machine, every move's delta drives the
    virtual cursor: its moves are queued for the SocketThread, a move onto a
    third machine passes the input on to it, a move onto this machine's own
    area brings the input home (the pointer reappears at the matching point of
    the edge it came across), and a move onto no machine is dropped.

    The caller holds the application's control lock while a move is digested. */
class EdgeCrossing
{
public:
    EdgeCrossing (InputHost& app, InputPlatform& platform, SocketThread& socketThread);

    /** A pointer move or left drag to (x, y), local desktop coordinates, by
        (dx, dy). */
    void digestNewMousePosition (double x, double y, double dx, double dy, bool isDrag);

    /** How far beyond an edge the layout is probed, and how far a crossing
        carries the pointer. */
    static constexpr int probeDistance = 10;

private:
    void digestLocal (juce::Point<double> old, juce::Point<double> moved, juce::Rectangle<int> area, int ownID);
    void digestRemote (juce::Point<double> moved, double dx, double dy, bool isDrag,
                       juce::Rectangle<int> area, int ownID);

    /** Holds the pointer at the warp point. */
    void warpHome();

    InputHost& app;
    InputPlatform& platform;
    SocketThread& socketThread;

    JUCE_DECLARE_NON_COPYABLE (EdgeCrossing)
};
