#pragma once

#include "input/InputHost.h"
#include "input/MacKeyCodeWizard.h"
#include "input/SocketThread.h"
#include "platform/InputPlatform.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <memory>

/** Watches this machine's keyboard and mouse system-wide, on the thread
    "KeyAndMouseListener", through an event tap of the input platform.

    For every physical event it claims the input for this machine, queues the
    event for the SocketThread while this machine drives another one (pointer
    moves go to the edge crossing instead), and decides whether the local
    desktop gets it. Key downs go through the key digestion (key codes to a
    machine of the same system, key names to others, composed characters
    after dead keys); three Escape key downs in a row end the program.

    The edge crossing digests pointer moves: at a desktop edge with a machine
    beyond it the input switches to that machine; while the input is remote
    the moves drive the virtual cursor, pass on to a third machine or come
    home.

    Created once by the application's start-up and kept for the whole run; it
    may be started and stopped many times. */
class KeyboardAndMouseListenerThread : public juce::Thread
{
public:
    KeyboardAndMouseListenerThread (InputHost& app, InputPlatform& platform, SocketThread& socketThread,
                                    MacKeyCodeWizard& keys = macKeyCodeWizard);

    /** Stops the tap and waits for the thread to end (without killing it). */
    ~KeyboardAndMouseListenerThread() override;

    /** Stops the tap and waits up to timeoutMs for the thread to end; returns
        false when it has not ended by then. The thread is never killed: it
        ends after the callback it is in. Do not call it while holding the
        control lock. */
    bool stopListening (int timeoutMs);

    //==============================================================================
    /** The tap's callback: what happens to one observed event, and whether
        the local desktop gets it. Runs on the event-tap thread. */
    EventTap::Verdict myCGEventCallback (InputEvent const& event);

    /** A key went down (event-tap thread). */
    void digestKeyDown (juce::uint16 keyCode, juce::uint64 flags);

    /** A pointer move or left drag at (x, y), local desktop coordinates, by
        (dx, dy) (event-tap thread). */
    void digestNewMousePosition (double x, double y, double dx, double dy, bool isDrag);

    /** Consecutive Escape key downs. */
    int getEscapeCount() const noexcept { return escapeCount.load(); }

    //==============================================================================
    void run() override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;   // the owner of this class keeps its state here as it sees fit

    std::atomic<int> escapeCount { 0 };

    JUCE_DECLARE_NON_COPYABLE (KeyboardAndMouseListenerThread)
};
