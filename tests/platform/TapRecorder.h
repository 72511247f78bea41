#pragma once

#include "platform/InputPlatform.h"

#include <condition_variable>
#include <thread>

/** Runs an event tap on a thread of its own and records what its callback
    sees; the verdict comes from a rule the test gives (pass by default). */
class TapRecorder
{
public:
    using Rule = std::function<EventTap::Verdict (const InputEvent&)>;

    explicit TapRecorder (InputPlatform& platform, Rule ruleToUse = {})
        : rule (std::move (ruleToUse))
    {
        tap = platform.createEventTap ([this] (EventTap& t, const InputEvent& event)
        {
            auto verdict = rule ? rule (event) : EventTap::Verdict::pass;

            {
                const std::lock_guard<std::mutex> l (lock);
                seen.push_back (event);
            }

            changed.notify_all();

            if (onEvent)
                onEvent (t, event);

            return verdict;
        });
    }

    ~TapRecorder() { stop(); }

    /** Starts the tap's thread and waits until it watches. */
    bool start (int timeoutMs = 5000)
    {
        if (tap == nullptr)
            return false;

        finished = false;
        thread = std::thread ([this]
        {
            result = tap->run();

            {
                const std::lock_guard<std::mutex> l (lock);
                finished = true;
            }

            changed.notify_all();
        });

        const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

        while (! tap->isRunning() && ! finished && juce::Time::getMillisecondCounter() < deadline)
            juce::Thread::sleep (2);

        return tap->isRunning();
    }

    /** Stops the tap and joins its thread; false when it did not end within
        the time-out. */
    bool stop (int timeoutMs = 5000)
    {
        if (! thread.joinable())
            return true;

        tap->stop();
        std::unique_lock<std::mutex> l (lock);
        const bool ended = changed.wait_for (l, std::chrono::milliseconds (timeoutMs), [this] { return finished.load(); });
        l.unlock();

        // A tap that does not stop fails the test; the join then waits for
        // CTest's time-out rather than leaving a thread on a destroyed tap.
        thread.join();
        return ended;
    }

    /** Waits until the events seen satisfy the condition. */
    bool waitFor (std::function<bool (const std::vector<InputEvent>&)> condition, int timeoutMs = 5000)
    {
        std::unique_lock<std::mutex> l (lock);
        return changed.wait_for (l, std::chrono::milliseconds (timeoutMs), [&] { return condition (seen); });
    }

    /** Waits until an event of that type (and, for key events, key code) was seen. */
    bool waitForType (InputEventType type, int keyCode = -1, int timeoutMs = 5000)
    {
        return waitFor ([=] (const std::vector<InputEvent>& events)
        {
            for (auto& e : events)
                if (e.type == type && (keyCode < 0 || e.keyCode == keyCode))
                    return true;

            return false;
        }, timeoutMs);
    }

    std::vector<InputEvent> events() const
    {
        const std::lock_guard<std::mutex> l (lock);
        return seen;
    }

    void clear()
    {
        const std::lock_guard<std::mutex> l (lock);
        seen.clear();
    }

    std::unique_ptr<EventTap> tap;
    std::function<void (EventTap&, const InputEvent&)> onEvent;
    std::atomic<bool> result { false };

private:
    Rule rule;
    mutable std::mutex lock;
    std::condition_variable changed;
    std::vector<InputEvent> seen;
    std::thread thread;
    std::atomic<bool> finished { false };
};
