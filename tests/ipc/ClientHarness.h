#pragma once

#include "ipc/ControlProtocol.h"
#include "support/RecordingClient.h"
#include "support/WirePeer.h"

#include <juce_events/juce_events.h>

#include <atomic>

/** Runs one discovery of a client on a thread of its own, as the start-up
    task and the reconnect thread do. */
class DiscoveryRun : public juce::Thread
{
public:
    explicit DiscoveryRun (ClientIPC& clientToUse) : juce::Thread ("DiscoveryRun"), client (clientToUse)
    {
        startThread();
    }

    ~DiscoveryRun() override { stopThread (-1); }

    void run() override
    {
        result = client.udpConnectToServer();
        done = true;
    }

    bool waitForResult (int timeoutMs = 15000)
    {
        return RecordingClient::waitUntil ([this] { return done.load(); }, timeoutMs);
    }

    std::atomic<bool> done { false }, result { false };

private:
    ClientIPC& client;
};

/** Reads one frame from a raw peer connection while the message loop runs,
    so that work the client posts to the message thread gets sent. */
inline std::optional<juce::MemoryBlock> readFramePumping (WirePeer::Stream& stream, int timeoutMs = 10000)
{
    auto const deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (juce::Time::getMillisecondCounter() < deadline)
    {
        auto ready = stream.getSocket().waitUntilReady (true, 0);

        if (ready < 0)
            return std::nullopt;

        if (ready > 0)
            return stream.readFrame (timeoutMs);

        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
    }

    return std::nullopt;
}

inline juce::String readTextFramePumping (WirePeer::Stream& stream, int timeoutMs = 10000)
{
    auto payload = readFramePumping (stream, timeoutMs);
    return payload ? payload->toString() : juce::String ("<no frame>");
}

/** Keeps the message loop running for a while. */
inline void pump (int ms)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil (ms);
}
