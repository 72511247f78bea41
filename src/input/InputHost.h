#pragma once

#include <juce_graphics/juce_graphics.h>

#include <optional>

/** What input sharing needs of the application that hosts it.

    The event-tap thread (KeyboardAndMouseListenerThread) and the event thread
    (SocketThread) reach the machine registry, the control switching, the
    layout view and the control connection through this interface only. The
    application implements it; tests drive input sharing against a fake.

    Every function may be called from the event-tap thread and the event
    thread (and from the message thread). None of them waits for the message
    thread: whatever touches a component is posted.

    Locks: the application's control lock serialises the control operations
    that arrive on the connection, message and event-tap threads. Its order is
    control lock, then registry lock, then position lock; the getters below
    take the registry or position lock briefly and never the control lock, so
    they may be called with or without the control lock held. */
class InputHost
{
public:
    virtual ~InputHost() = default;

    //==============================================================================
    // Who is who

    /** This machine's ID; -1 before it has joined a cluster. */
    virtual int getOwnID() const = 0;

    /** The machine that receives this machine's input: the own ID while the
        input stays local. */
    virtual int getActiveMonitorID() const = 0;

    /** Records the machine that receives this machine's input (log line, the
        view's "Active ID: "). */
    virtual void setActiveMonitorID (int id) = 0;

    /** The machine whose keyboard and mouse are in use, as last known. */
    virtual int getCurrentInputID() const = 0;

    /** The number of machines in the registry. */
    virtual int getNumMachines() const = 0;

    //==============================================================================
    // Geometry

    /** The own machine's area on the virtual desktop (its place, and the size of
        its desktop); none while the registry holds no record of it. */
    virtual std::optional<juce::Rectangle<int>> getOwnArea() const = 0;

    /** The bounding box of the local monitors, in local desktop coordinates. */
    virtual juce::Rectangle<int> getOwnDesktop() const = 0;

    /** Where the pointer is held while the input goes to another machine: the
        centre of the main display, in local desktop coordinates. */
    virtual juce::Point<double> getWarpPoint() const = 0;

    /** The machine whose tile contains a point of the virtual desktop; -1 for
        none. Never waits for the message thread. */
    virtual int getIDOfMachineAt (int x, int y) const = 0;

    //==============================================================================
    // The cursors

    /** The pointer as last digested, in local desktop coordinates; while the
        input goes elsewhere, the warp point. */
    virtual juce::Point<double> getLocalCursor() const = 0;
    virtual void setLocalCursor (juce::Point<double> position) = 0;

    /** The pointer on the virtual desktop. */
    virtual juce::Point<double> getVirtualCursor() const = 0;
    virtual void setVirtualCursor (juce::Point<double> position) = 0;

    //==============================================================================
    // Control

    /** Claims the input for this machine: when the current input ID is not the
        own ID, makes it so and sends "Current input ID: " with the own ID. */
    virtual void inputReceived() = 0;

    /** This machine starts sending its input to machine id. */
    virtual void prepareLocalAndRemote (int id, bool requestMiddle) = 0;

    /** The input comes back to this machine's own desktop. */
    virtual void takeBackControl() = 0;

    /** Asks the server to hand the clipboard of one machine to another. */
    virtual void requestClipboardFromTo (int fromID, int toID) = 0;

    /** Sends a control text to the server on the control connection. */
    virtual void sendToServer (juce::String const& text) = 0;

    /** The control lock (recursive). The event tap holds it while it digests
        one event; the control operations hold it too. Never wait for the
        event-tap thread while holding it. */
    virtual juce::CriticalSection& getControlLock() = 0;

    /** Ends the program: stops the message loop (three Escapes). */
    virtual void stopMessageLoop() = 0;

    //==============================================================================
    // The layout view

    /** Shows the virtual cursor (a point of the virtual desktop) in the view. */
    virtual void updateVirtualMonitorPosition (juce::Point<double> position) = 0;

    /** The first status line of the open main window; nothing without one. */
    virtual void showDebugText (juce::String const& text) = 0;

    /** Appends a line to the open main window's event lines; nothing without one. */
    virtual void showStreamingDebugText (juce::String const& line) = 0;

    /** The open main window's "Receiving flags: "; nothing without one. */
    virtual void showReceivedFlags (int flags) = 0;

    /** The event thread went idle: posts to the message thread the main
        window's debug text "Idle mode" and receiving OS "none" (when a window is
        open) and, in any case, the view's grey background and a repaint. */
    virtual void showIdle() = 0;

    //==============================================================================
    // The clipboard

    /** Puts a text on the general pasteboard, as a plain string. */
    virtual void setClipboardText (juce::String const& text) = 0;
};
