#include "platform/InputPlatform.h"

#include "core/Logging.h"

InputPlatform::~InputPlatform()
{
    jassert (runningTaps.empty());
}

int InputPlatform::postToEventTaps (const InputEvent& event)
{
    const std::lock_guard<std::mutex> lock (tapsLock);

    for (auto* tap : runningTaps)
        tap->handOver (event);

    return (int) runningTaps.size();
}

bool InputPlatform::setWithholding (bool shouldWithhold)
{
    const std::lock_guard<std::mutex> lock (withholdingLock);
    ++withholdingDecisions;
    const bool inEffect = applyWithholding (shouldWithhold);
    withholding = inEffect;
    return inEffect == shouldWithhold;
}

void InputPlatform::followVerdict (bool shouldWithhold, juce::uint32 decisionsBefore)
{
    const std::lock_guard<std::mutex> lock (withholdingLock);

    if (withholdingDecisions != decisionsBefore || withholding == shouldWithhold)
        return;

    DBGOrLog (juce::String ("Event tap: withholding follows the verdict: ") + (shouldWithhold ? "on" : "off"));
    ++withholdingDecisions;
    withholding = applyWithholding (shouldWithhold);
}

bool InputPlatform::hasRunningTap() const
{
    const std::lock_guard<std::mutex> lock (tapsLock);
    return ! runningTaps.empty();
}

void InputPlatform::registerRunningTap (EventTap& tap)
{
    {
        const std::lock_guard<std::mutex> lock (tapsLock);
        runningTaps.insert (&tap);
    }

    tapStarted (tap);
}

void InputPlatform::unregisterRunningTap (EventTap& tap)
{
    {
        const std::lock_guard<std::mutex> lock (tapsLock);
        runningTaps.erase (&tap);
    }

    tapStopped (tap);
}
