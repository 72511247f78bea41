#pragma once

#include "platform/InputEvent.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

class InputPlatform;

/** A system-wide observer of the keyboard and the pointer.

    The platform creates it with a callback (InputPlatform::createEventTap).
    run() watches the input on the calling thread and calls the callback for
    every event, in order, on that thread, until stop() is called; it can be
    run again afterwards. The callback returns a verdict for the event:

    - pass: the event goes on to the local desktop;
    - swallow: the event is kept from the local desktop.

    Some desktops (X11) cannot take back an event they have already
    delivered; there the verdict cannot act on the event it is given, and what
    keeps events from the desktop is withholding (InputPlatform::setWithholding),
    which must be switched on before the events arrive. The tap lets the
    verdicts of unmarked key, button and wheel events steer withholding as a
    safety net: a swallowed one switches withholding on, a passed one switches
    it off, unless withholding was set explicitly since the callback began
    (InputPlatform::setWithholding, from any thread): an explicit decision
    always stands.

    A key held on the local keyboard reaches the callback as a key down for
    every repeat and one key up, on every desktop.

    Events this program posted itself (InputPlatform::postEvent) reach the
    callback marked (InputEvent::isMarked); events from anywhere else,
    other programs' synthetic input included, count as physical and are not
    marked.

    Pointer notices: where the pointer got somewhere without motion that the
    tap could report (where it is when the tap starts, a warp by another
    program), the tap says so with a notice (isPointerNotice): a mouse move
    at the pointer's place, with no delta, that no hand made. Notices are
    neither claimed nor withheld; a digester of pointer moves takes them as
    the point the next move starts from.

    The platform must outlive its taps. */
class EventTap
{
public:
    enum class Verdict { pass, swallow };

    using Callback = std::function<Verdict (EventTap&, const InputEvent&)>;

    virtual ~EventTap();

    /** A notice that the pointer is at 'location', moved there by nothing the
        tap reports as motion. */
    static InputEvent pointerNotice (juce::Point<double> location);
    static bool isPointerNotice (const InputEvent& event) noexcept;

    /** Watches the input until stop() is called; returns true when it ended
        through stop(), false when it could not start or lost the display.
        Never call it on two threads at once. */
    virtual bool run() = 0;

    /** Makes run() return after the callback that is running, if any.
        Callable from any thread, the callback included. A stop requested
        while the tap is not running makes the next run() return at once. */
    void stop();

    /** While disabled, the callback is not called and every event passes. */
    void setEnabled (bool shouldBeEnabled) noexcept   { enabled = shouldBeEnabled; }
    bool isEnabled() const noexcept                  { return enabled; }

    /** True from the moment run() watches the input until it returns. */
    bool isRunning() const noexcept                  { return running; }

protected:
    EventTap (InputPlatform& platform, Callback callback);

    /** Runs the callback for an event the tap observed and applies the
        withholding safety net. */
    Verdict deliver (const InputEvent& event);

    /** Runs the callback for an event handed over by
        InputPlatform::postToEventTaps; its verdict changes nothing. */
    void deliverHandedOver (const InputEvent& event);

    /** To be called by run() when it starts and ends; they register the tap
        with its platform as running. beginRun() returns false when a stop
        is already pending (run() should then return at once). */
    bool beginRun();
    void endRun();

    bool isStopRequested() const noexcept { return stopRequested; }

    /** Events handed over, oldest first; empties the list. */
    std::vector<InputEvent> takeHandedOverEvents();

    /** Makes the loop of run() look at stop requests and handed-over events. */
    virtual void wakeLoop() = 0;

    InputPlatform& platform;

private:
    friend class InputPlatform;
    void handOver (const InputEvent& event);

    Callback callback;
    std::atomic<bool> enabled { true };
    std::atomic<bool> running { false };
    std::atomic<bool> stopRequested { false };

    std::mutex handOverLock;
    std::vector<InputEvent> handedOver;
};
