#include "platform/X11Backend.h"
#include "platform/x11/X11Connection.h"

#include <mutex>

namespace
{
constexpr juce::uint32 resettingServerWaitMs = 1000;
constexpr int retryPauseMs = 50;

std::mutex holdLock;
std::unique_ptr<X11Connection> held;   // holdLock

/** True when a local server of that display name (":N" or ":N.S") has its
    socket, as it keeps it while it resets; not for a server that is not there. */
bool serverSocketExists (juce::String const& displayName)
{
    auto const number = displayName.fromFirstOccurrenceOf (":", false, false).upToFirstOccurrenceOf (".", false, false);

    return displayName.startsWithChar (':') && number.isNotEmpty() && number.containsOnly ("0123456789")
        && juce::File ("/tmp/.X11-unix/X" + number).exists();
}
} // namespace

bool canOpenX11Display (const juce::String& displayName)
{
    if (displayName.isEmpty())
        return holdX11Display();

    return X11Connection (displayName).isOk();
}

bool holdX11Display()
{
    const std::lock_guard<std::mutex> sl (holdLock);

    if (held != nullptr)
        return held->isOk();

    auto const name = juce::SystemStats::getEnvironmentVariable ("DISPLAY", {});
    auto const deadline = juce::Time::getMillisecondCounter() + resettingServerWaitMs;

    for (;;)
    {
        auto connection = std::make_unique<X11Connection> (juce::String());

        if (connection->isOk())
        {
            held = std::move (connection);
            return true;
        }

        if (juce::Time::getMillisecondCounter() >= deadline || ! serverSocketExists (name))
            return false;

        juce::Thread::sleep (retryPauseMs);
    }
}

void releaseX11Display()
{
    const std::lock_guard<std::mutex> sl (holdLock);
    held.reset();
}
