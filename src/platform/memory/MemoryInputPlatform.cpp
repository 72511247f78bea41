#include "platform/memory/MemoryInputPlatform.h"

#include "platform/memory/MemoryKeyboardLayout.h"

class MemoryInputPlatform::Tap : public EventTap
{
public:
    Tap (MemoryInputPlatform& p, Callback callbackToUse)
        : EventTap (p, std::move (callbackToUse)), owner (p)
    {
    }

    bool run() override
    {
        if (! beginRun())
            return true;

        std::unique_lock<std::mutex> l (owner.lock);
        auto seenWakeUps = owner.wakeUps;

        while (! isStopRequested())
        {
            l.unlock();

            for (auto& event : takeHandedOverEvents())
            {
                deliverHandedOver (event);
                record (event, Verdict::pass, true);
            }

            l.lock();

            if (isStopRequested())
                break;

            if (! owner.pending.empty())
            {
                auto event = owner.pending.front();
                owner.pending.pop_front();
                ++owner.delivering;

                if (event.isMotion() && ! event.isMarked())
                    owner.pointer = event.location;

                l.unlock();
                const auto verdict = deliver (event);
                record (event, verdict, false);
                l.lock();

                --owner.delivering;
                owner.changed.notify_all();
                continue;
            }

            owner.changed.wait (l, [&] { return isStopRequested() || ! owner.pending.empty()
                                                || owner.wakeUps != seenWakeUps; });
            seenWakeUps = owner.wakeUps;
        }

        l.unlock();
        endRun();
        return true;
    }

private:
    void wakeLoop() override
    {
        const std::lock_guard<std::mutex> l (owner.lock);
        ++owner.wakeUps;
        owner.changed.notify_all();
    }

    void record (const InputEvent& event, Verdict verdict, bool wasHandedOver)
    {
        const std::lock_guard<std::mutex> l (owner.lock);
        owner.seen.push_back ({ event, verdict, wasHandedOver });
    }

    MemoryInputPlatform& owner;
};

//==============================================================================
MemoryInputPlatform::MemoryInputPlatform()
    : layout (std::make_shared<MemoryKeyboardLayout>())
{
}

MemoryInputPlatform::~MemoryInputPlatform() = default;

std::unique_ptr<EventTap> MemoryInputPlatform::createEventTap (EventTap::Callback callback)
{
    {
        const std::lock_guard<std::mutex> l (lock);

        if (! tapsAvailable)
            return {};
    }

    return std::make_unique<Tap> (*this, std::move (callback));
}

bool MemoryInputPlatform::postEvent (const InputEvent& event)
{
    if (event.type == InputEventType::null || event.type == InputEventType::flagsChanged)
        return false;

    // Check before taking the lock: the taps' lock comes first.
    const bool observed = hasRunningTap();

    // Scrolls are held to their bound, as a desktop posts them.
    auto toPost = event;
    toPost.scrollDeltaAxis1 = juce::jlimit (-maxScrollPixelsPerPost, maxScrollPixelsPerPost, event.scrollDeltaAxis1);
    toPost.scrollDeltaAxis2 = juce::jlimit (-maxScrollPixelsPerPost, maxScrollPixelsPerPost, event.scrollDeltaAxis2);

    const std::lock_guard<std::mutex> l (lock);
    followHeldInput (toPost);
    recordPost (toPost, observed);
    return true;
}

void MemoryInputPlatform::releaseHeldInput()
{
    const bool observed = hasRunningTap();

    const std::lock_guard<std::mutex> l (lock);
    ++releaseCount;

    for (auto code : held.keys)
        recordPost (InputEvent::key (code, false), observed);

    for (auto unit : held.units)
        recordPost (InputEvent::unicodeKey (unit, false), observed);

    for (auto button : held.buttons)
        recordPost (InputEvent::mouseButton (button, false, pointer), observed);

    held = {};
}

void MemoryInputPlatform::followHeldInput (const InputEvent& event)
{
    const bool down = event.type == InputEventType::keyDown || event.type == InputEventType::leftMouseDown
                   || event.type == InputEventType::rightMouseDown || event.type == InputEventType::otherMouseDown;

    if (event.isButtonEvent())
    {
        const int button = event.type == InputEventType::leftMouseDown || event.type == InputEventType::leftMouseUp ? 0
                         : event.type == InputEventType::rightMouseDown || event.type == InputEventType::rightMouseUp ? 1
                         : event.buttonNumber;

        if (down)
            held.buttons.insert (button);
        else
            held.buttons.erase (button);
    }
    else if (event.type == InputEventType::keyDown || event.type == InputEventType::keyUp)
    {
        if (event.unicodeUnit != 0)
            down ? (void) held.units.insert (event.unicodeUnit) : (void) held.units.erase (event.unicodeUnit);
        else
            down ? (void) held.keys.insert (event.keyCode) : (void) held.keys.erase (event.keyCode);
    }
}

void MemoryInputPlatform::recordPost (const InputEvent& event, bool observed)
{
    posted.push_back (event);

    if (event.isMotion())
        pointer = event.location;

    if (observed)
    {
        auto marked = event;
        marked.sourceUserData = kSyntheticEventMarker;

        if (! marked.isMotion())
            marked.location = pointer;

        pending.push_back (marked);
        changed.notify_all();
    }
}

juce::Point<double> MemoryInputPlatform::getPointerLocation()
{
    const std::lock_guard<std::mutex> l (lock);
    return pointer;
}

bool MemoryInputPlatform::warpPointer (juce::Point<double> location)
{
    const std::lock_guard<std::mutex> l (lock);
    pointer = location;
    warps.push_back (location);
    return true;
}

void MemoryInputPlatform::showCursor()
{
    const std::lock_guard<std::mutex> l (lock);
    ++showCursorCount;
}

std::shared_ptr<const KeyboardLayout> MemoryInputPlatform::getCurrentKeyboardLayout()
{
    const std::lock_guard<std::mutex> l (lock);
    return layout;
}

void MemoryInputPlatform::declareUserActivity (const juce::String& name)
{
    const std::lock_guard<std::mutex> l (lock);
    userActivityNames.add (name);
}

bool MemoryInputPlatform::applyWithholding (bool shouldWithhold)
{
    const std::lock_guard<std::mutex> l (lock);

    if (shouldWithhold && ! withholdingAvailable)
        return false;

    withholdingChanges.push_back (shouldWithhold);
    return shouldWithhold;
}

//==============================================================================
void MemoryInputPlatform::injectEvent (const InputEvent& event)
{
    const std::lock_guard<std::mutex> l (lock);
    pending.push_back (event);
    changed.notify_all();
}

bool MemoryInputPlatform::waitUntilTapsIdle (int timeoutMs)
{
    std::unique_lock<std::mutex> l (lock);
    return changed.wait_for (l, std::chrono::milliseconds (timeoutMs),
                             [&] { return pending.empty() && delivering == 0; });
}

std::vector<MemoryInputPlatform::SeenEvent> MemoryInputPlatform::getSeenEvents() const
{
    const std::lock_guard<std::mutex> l (lock);
    return seen;
}

std::vector<InputEvent> MemoryInputPlatform::getPostedEvents() const
{
    const std::lock_guard<std::mutex> l (lock);
    return posted;
}

MemoryInputPlatform::HeldInput MemoryInputPlatform::getHeldInput() const
{
    const std::lock_guard<std::mutex> l (lock);
    return held;
}

int MemoryInputPlatform::getReleaseCount() const
{
    const std::lock_guard<std::mutex> l (lock);
    return releaseCount;
}

std::vector<juce::Point<double>> MemoryInputPlatform::getWarps() const
{
    const std::lock_guard<std::mutex> l (lock);
    return warps;
}

std::vector<bool> MemoryInputPlatform::getWithholdingChanges() const
{
    const std::lock_guard<std::mutex> l (lock);
    return withholdingChanges;
}

int MemoryInputPlatform::getShowCursorCount() const
{
    const std::lock_guard<std::mutex> l (lock);
    return showCursorCount;
}

juce::StringArray MemoryInputPlatform::getUserActivityNames() const
{
    const std::lock_guard<std::mutex> l (lock);
    return userActivityNames;
}

void MemoryInputPlatform::clearRecords()
{
    const std::lock_guard<std::mutex> l (lock);
    seen.clear();
    posted.clear();
    warps.clear();
    withholdingChanges.clear();
    showCursorCount = 0;
    userActivityNames.clear();
}

void MemoryInputPlatform::setPointerLocation (juce::Point<double> location)
{
    const std::lock_guard<std::mutex> l (lock);
    pointer = location;
}

void MemoryInputPlatform::setKeyboardLayout (std::shared_ptr<const KeyboardLayout> newLayout)
{
    const std::lock_guard<std::mutex> l (lock);
    layout = std::move (newLayout);
}

void MemoryInputPlatform::setEventTapsAvailable (bool available)
{
    const std::lock_guard<std::mutex> l (lock);
    tapsAvailable = available;
}

void MemoryInputPlatform::setWithholdingAvailable (bool available)
{
    const std::lock_guard<std::mutex> l (lock);
    withholdingAvailable = available;
}
