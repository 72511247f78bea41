#pragma once

#include "platform/InputPlatform.h"

#include <condition_variable>
#include <deque>
#include <set>

/** The input platform as a simulated desktop held in memory, for tests:
    deterministic and without a display.

    - A test injects physical events (injectEvent); a running tap reports
      them in order. Events injected while no tap runs wait for one.
    - Posted events are recorded; while a tap runs they also reach it, marked,
      as on a real desktop. Posted moves and warps move the pointer.
    - Every event a tap's callback saw is recorded with its verdict, so a
      test reads what was passed and what was swallowed.
    - The keyboard layout is a MemoryKeyboardLayout (US) unless the test sets
      another one or none.
    - Tap creation and withholding can be made to fail.
    - It follows what posts hold pressed (getHeldInput); releaseHeldInput
      posts the ups of the keys and buttons held. */
class MemoryInputPlatform : public InputPlatform
{
public:
    MemoryInputPlatform();
    ~MemoryInputPlatform() override;

    //==============================================================================
    std::unique_ptr<EventTap> createEventTap (EventTap::Callback callback) override;
    bool postEvent (const InputEvent& event) override;
    void releaseHeldInput() override;
    juce::Point<double> getPointerLocation() override;
    bool warpPointer (juce::Point<double> location) override;
    void showCursor() override;
    std::shared_ptr<const KeyboardLayout> getCurrentKeyboardLayout() override;
    void declareUserActivity (const juce::String& name) override;

    //==============================================================================
    /** An event from the local devices. Motion moves the pointer to the
        event's location when a tap reports it. */
    void injectEvent (const InputEvent& event);

    /** Waits until every injected or posted event has been through a tap's
        callback; false when that did not happen within the time-out. */
    bool waitUntilTapsIdle (int timeoutMs);

    struct SeenEvent
    {
        InputEvent event;
        EventTap::Verdict verdict;
        bool handedOver;   // came from postToEventTaps; its verdict counts for nothing
    };

    /** Every event a callback saw, oldest first, with its verdict. */
    std::vector<SeenEvent> getSeenEvents() const;

    /** Every posted event, oldest first, as it was posted (unmarked; scrolls
        held to maxScrollPixelsPerPost). */
    std::vector<InputEvent> getPostedEvents() const;

    /** What posted events hold pressed now: key codes, Unicode units typed
        by key, and button numbers whose downs had no up yet. */
    struct HeldInput
    {
        std::set<juce::uint16> keys;
        std::set<char16_t> units;
        std::set<int> buttons;

        bool isEmpty() const noexcept { return keys.empty() && units.empty() && buttons.empty(); }
    };

    HeldInput getHeldInput() const;

    /** How often releaseHeldInput was called. */
    int getReleaseCount() const;

    std::vector<juce::Point<double>> getWarps() const;
    std::vector<bool> getWithholdingChanges() const;
    int getShowCursorCount() const;
    juce::StringArray getUserActivityNames() const;

    /** Forgets the recorded events, warps, changes and counts. */
    void clearRecords();

    void setPointerLocation (juce::Point<double> location);

    /** The layout getCurrentKeyboardLayout returns; null for none. */
    void setKeyboardLayout (std::shared_ptr<const KeyboardLayout> layout);

    void setEventTapsAvailable (bool available);
    void setWithholdingAvailable (bool available);

protected:
    bool applyWithholding (bool shouldWithhold) override;

private:
    class Tap;

    /** Records a post and hands it to the running taps; called with the lock. */
    void recordPost (const InputEvent& event, bool observed);
    void followHeldInput (const InputEvent& event);

    mutable std::mutex lock;
    std::condition_variable changed;

    std::deque<InputEvent> pending;
    int delivering = 0;
    juce::uint32 wakeUps = 0;

    std::vector<SeenEvent> seen;
    std::vector<InputEvent> posted;
    std::vector<juce::Point<double>> warps;
    std::vector<bool> withholdingChanges;
    int showCursorCount = 0;
    juce::StringArray userActivityNames;

    HeldInput held;
    int releaseCount = 0;

    juce::Point<double> pointer;
    std::shared_ptr<const KeyboardLayout> layout;
    bool tapsAvailable = true;
    bool withholdingAvailable = true;
};
