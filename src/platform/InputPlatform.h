#pragma once

#include "platform/EventTap.h"
#include "platform/InputEvent.h"
#include "platform/KeyboardLayout.h"

#include <memory>
#include <mutex>
#include <set>

/** The input half of the platform layer: what the system needs from the
    desktop to watch, withhold and create keyboard and pointer input.

    Two backends implement it: X11 (createX11InputPlatform, X11Backend.h) and
    an in-memory one for tests (MemoryInputPlatform). Every function may be
    called from any thread. Coordinates are global screen pixels. */
class InputPlatform
{
public:
    virtual ~InputPlatform();

    //==============================================================================
    /** A tap that reports every keyboard and pointer event to the callback;
        null when no tap can be created (no access to the input). */
    virtual std::unique_ptr<EventTap> createEventTap (EventTap::Callback callback) = 0;

    /** Hands an event to the callback of every running tap, on the tap's own
        thread, as if the tap had observed it; the event never reaches the
        desktop and its verdict changes nothing. This is how another thread
        makes a tap's callback run (for example to let it stop its tap).
        Returns the number of taps reached. */
    int postToEventTaps (const InputEvent& event);

    //==============================================================================
    /** Withholding: while on, key, button and wheel events from the local
        devices reach no window of the local desktop, while pointer motion
        still moves the pointer. Taps go on reporting every event. Switch it
        on before the events that are to be withheld arrive: events already
        delivered cannot be recalled. Returns true when the asked state is in
        effect (switching on fails when another program holds the input).

        Callable from any thread, a tap's callback included; calls are taken
        one at a time, and the last one decides. An explicit decision always
        stands against the tap's safety net (EventTap): a verdict whose
        callback began before the decision never overturns it. Change what
        the callback's verdicts follow first, then decide here, so that the
        verdicts of events in between agree with the decision. */
    bool setWithholding (bool shouldWithhold);

    bool isWithholding() const noexcept { return withholding; }

    /** Counts the decisions on withholding, so a tap can tell whether
        withholding was decided while its callback ran. */
    juce::uint32 getWithholdingDecisions() const noexcept { return withholdingDecisions; }

    //==============================================================================
    /** Posts an event into the local input stream as if a device had made it.
        The event arrives at this program's taps marked; whatever the event
        carries in sourceUserData is not used. What each type does:
        - moves and drags: move the pointer to location;
        - button downs and ups: press or release the button at the pointer's
          current place; a down with the modifiers in flags held;
        - scroll: scroll by the pixel deltas, each held to
          maxScrollPixelsPerPost either way (the rest is dropped);
        - key downs and ups: press or release the key of keyCode, a down with
          the modifiers in flags held, or, when unicodeUnit is set, a key that
          types that unit (keyCode is then not used).
        Desktops without click counts (X11) leave double clicks to the
        timing of the clicks and do not use clickState.

        The modifiers in the flags of key, button and wheel events (downs and
        ups alike) are held state: a modifier goes down when an event's flags
        gain it and up when they lose it, before the event; moves and drags
        leave the modifiers as they are. The alpha shift of key and button
        events is the sender's Caps Lock: the desktop's lock follows it from
        the first such post on, as a lock (no key is pressed), and
        releaseHeldInput gives the desktop its own lock back; a Caps Lock key
        posted by its code turns the lock over. Key repeat: a key down of a key that
        posts already hold is one more press of it, and the desktop does not
        repeat posted keys by itself, so a key held on a sender repeats here
        once per key down received.
        Returns false when the event cannot be posted (an unknown key code,
        a type that cannot be posted, no display). */
    virtual bool postEvent (const InputEvent& event) = 0;

    /** The most pixels one scroll post moves on each axis: a hundred wheel
        clicks, well beyond a fast real scroll. */
    static constexpr int maxScrollPixelsPerPost = 1000;

    /** Releases every key, button and modifier that posts left pressed, so
        that nothing stays down when this machine stops taking input from
        elsewhere (receiving ends or another machine takes over). Posts
        afterwards start from nothing held. */
    virtual void releaseHeldInput() = 0;

    //==============================================================================
    virtual juce::Point<double> getPointerLocation() = 0;

    /** Moves the pointer without making an input event. */
    virtual bool warpPointer (juce::Point<double> location) = 0;

    virtual void showCursor() = 0;

    //==============================================================================
    /** The keyboard layout in use now, as an immutable snapshot; null when
        no layout can be read. */
    virtual std::shared_ptr<const KeyboardLayout> getCurrentKeyboardLayout() = 0;

    //==============================================================================
    /** Tells the system that the user is active: wakes the display and
        resets the screen saver. The name says why, for the system's records. */
    virtual void declareUserActivity (const juce::String& name) = 0;

protected:
    InputPlatform() = default;

    /** Engages or releases withholding; returns the state now in effect. */
    virtual bool applyWithholding (bool shouldWithhold) = 0;

    /** True while a tap of this platform runs. */
    bool hasRunningTap() const;

    /** Called when a tap starts and stops running. */
    virtual void tapStarted (EventTap&) {}
    virtual void tapStopped (EventTap&) {}

private:
    friend class EventTap;
    void registerRunningTap (EventTap& tap);

    /** The tap's safety net: switches withholding to follow a verdict unless
        it is in that state already or was decided since decisionsBefore,
        checked and switched as one step. */
    void followVerdict (bool shouldWithhold, juce::uint32 decisionsBefore);
    void unregisterRunningTap (EventTap& tap);

    mutable std::mutex tapsLock;
    std::set<EventTap*> runningTaps;

    std::mutex withholdingLock;
    std::atomic<bool> withholding { false };
    std::atomic<juce::uint32> withholdingDecisions { 0 };
};
