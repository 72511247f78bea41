#pragma once

#include <juce_events/juce_events.h>

/** Wakes JUCE's message loop for X events that wait unseen on its display.

    JUCE's loop reads its X connection when the connection's socket becomes
    readable. A round trip on that connection (JUCE asks for the pointer's
    position many times a second while a menu is open or the mouse is
    watched) reads the events that arrived before the reply into Xlib's queue
    as well, where nothing tells the loop of them: a click on a menu or a
    button then waits for the next event to arrive, which may be long when
    the hand is still. Every 50 ms this looks whether events wait in that
    queue and, if so, sends a message to JUCE's own message window, whose
    arrival makes the loop read the whole queue (JUCE ignores the message).

    Message thread only; does nothing without JUCE's X display. */
class X11QueuedEventWake : private juce::Timer
{
public:
    X11QueuedEventWake();
    ~X11QueuedEventWake() override;

    static constexpr int intervalMs = 50;

private:
    void timerCallback() override;
};
