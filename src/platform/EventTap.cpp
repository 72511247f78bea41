#include "platform/EventTap.h"

#include "platform/InputPlatform.h"

EventTap::EventTap (InputPlatform& owner, Callback cb)
    : platform (owner), callback (std::move (cb))
{
}

EventTap::~EventTap()
{
    jassert (! running);
}

namespace
{
// The source user data of pointer notices: no program's events carry it on a
// desktop without user data (X11), and it differs from the own posts' marker.
constexpr juce::int64 pointerNoticeMarker = 0x504f494e54;
} // namespace

InputEvent EventTap::pointerNotice (juce::Point<double> location)
{
    auto notice = InputEvent::mouseMove (location);
    notice.sourceUserData = pointerNoticeMarker;
    return notice;
}

bool EventTap::isPointerNotice (const InputEvent& event) noexcept
{
    return event.sourceUserData == pointerNoticeMarker && event.type == InputEventType::mouseMoved;
}

void EventTap::stop()
{
    stopRequested = true;
    wakeLoop();
}

bool EventTap::beginRun()
{
    if (stopRequested.exchange (false))
        return false;

    // Registered first, so that whoever sees it running can hand it events.
    platform.registerRunningTap (*this);
    running = true;
    return true;
}

void EventTap::endRun()
{
    running = false;
    platform.unregisterRunningTap (*this);
    stopRequested = false;

    const std::lock_guard<std::mutex> lock (handOverLock);
    handedOver.clear();
}

EventTap::Verdict EventTap::deliver (const InputEvent& event)
{
    if (! enabled)
        return Verdict::pass;

    const auto decisionsBefore = platform.getWithholdingDecisions();
    const auto verdict = callback (*this, event);

    if (! event.isMarked() && event.isWithholdable())
        platform.followVerdict (verdict == Verdict::swallow, decisionsBefore);

    return verdict;
}

void EventTap::deliverHandedOver (const InputEvent& event)
{
    if (enabled)
        callback (*this, event);
}

void EventTap::handOver (const InputEvent& event)
{
    {
        const std::lock_guard<std::mutex> lock (handOverLock);
        handedOver.push_back (event);
    }

    wakeLoop();
}

std::vector<InputEvent> EventTap::takeHandedOverEvents()
{
    const std::lock_guard<std::mutex> lock (handOverLock);
    std::vector<InputEvent> events;
    events.swap (handedOver);
    return events;
}
