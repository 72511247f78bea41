#pragma once

#include "platform/InputPlatform.h"
#include "support/TestEnvironment.h"

#include <optional>
#include <thread>

/** Runs an event tap on a thread of its own and records what its callback
    sees; the verdict comes from a rule the test gives (pass by default).
    Pointer notices are kept apart (notices()); the rule and onEvent see none. */
class TapRecorder
{
public:
    using Rule = std::function<EventTap::Verdict (const InputEvent&)>;

    explicit TapRecorder (InputPlatform& platform, Rule rule = {})
    {
        tap = platform.createEventTap ([this, rule] (EventTap& t, const InputEvent& event)
        {
            if (EventTap::isPointerNotice (event))
            {
                const std::lock_guard<std::mutex> l (lock);
                seenNotices.push_back (event);
                return EventTap::Verdict::pass;
            }

            auto verdict = rule ? rule (event) : EventTap::Verdict::pass;

            {
                const std::lock_guard<std::mutex> l (lock);
                seen.push_back (event);
            }

            if (onEvent)
                onEvent (t, event);

            return verdict;
        });
    }

    ~TapRecorder() { stop(); }

    /** Starts the tap's thread; true once the tap watches. */
    bool start()
    {
        if (tap == nullptr)
            return false;

        finished = false;
        thread = std::thread ([this] { result = tap->run(); finished = true; });
        return TestEnvironment::waitUntil ([this] { return tap->isRunning() || finished; }, 5000) && tap->isRunning();
    }

    /** Stops the tap and joins its thread; false when it did not end in 5 s
        (the join then waits for CTest's time-out rather than leave a thread
        on a destroyed tap). */
    bool stop()
    {
        if (! thread.joinable())
            return true;

        tap->stop();
        const bool ended = TestEnvironment::waitUntil ([this] { return finished.load(); }, 5000);
        thread.join();
        return ended;
    }

    std::vector<InputEvent> events() const
    {
        const std::lock_guard<std::mutex> l (lock);
        return seen;
    }

    std::vector<InputEvent> notices() const
    {
        const std::lock_guard<std::mutex> l (lock);
        return seenNotices;
    }

    void clear()
    {
        const std::lock_guard<std::mutex> l (lock);
        seen.clear();
        seenNotices.clear();
    }

    /** The first event seen of that type (and, when given, key code). */
    std::optional<InputEvent> find (InputEventType type, int keyCode = -1) const
    {
        for (auto& e : events())
            if (e.type == type && (keyCode < 0 || e.keyCode == keyCode))
                return e;

        return {};
    }

    /** Wait (at most 5 s) until that many events, or one of that type, were seen. */
    bool waitForCount (size_t count) const
    {
        return TestEnvironment::waitUntil ([&] { return events().size() >= count; }, 5000);
    }

    bool waitForType (InputEventType type, int keyCode = -1) const
    {
        return TestEnvironment::waitUntil ([&] { return find (type, keyCode).has_value(); }, 5000);
    }

    std::unique_ptr<EventTap> tap;
    std::function<void (EventTap&, const InputEvent&)> onEvent;
    std::atomic<bool> result { false };

private:
    mutable std::mutex lock;
    std::vector<InputEvent> seen, seenNotices;
    std::thread thread;
    std::atomic<bool> finished { false };
};
