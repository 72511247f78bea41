#pragma once

#include "ipc/ControlProtocol.h"
#include "ipc/DiscoveryProtocol.h"
#include "ipc/Machine.h"
#include "support/RecordingClient.h"
#include "support/TestEnvironment.h"
#include "support/WirePeer.h"

#include <atomic>

/** Runs one discovery of a client on a thread of its own, as the start-up
    task and the reconnect thread do. */
class DiscoveryRun : public juce::Thread
{
public:
    explicit DiscoveryRun (ClientIPC& c) : juce::Thread ("DiscoveryRun"), client (c) { startThread(); }
    ~DiscoveryRun() override { stopThread (-1); }
    void run() override { result = client.udpConnectToServer(); done = true; }
    bool finished (int timeoutMs = 15000) { return TestEnvironment::waitUntil ([this] { return done.load(); }, timeoutMs); }

    std::atomic<bool> done { false }, result { false };

private:
    ClientIPC& client;
};

/** One frame from a raw peer, read while the message loop runs (the client
    sends some messages from the message thread). */
inline std::optional<juce::MemoryBlock> readFramePumping (WirePeer::Stream& stream, int timeoutMs = 10000)
{
    if (! TestEnvironment::waitUntil ([&] { return stream.getSocket().waitUntilReady (true, 0) != 0; }, timeoutMs))
        return std::nullopt;

    return stream.readFrame (timeoutMs);
}

/** The frame as text (a tree shows its type), or "<no frame>". */
inline juce::String readText (WirePeer::Stream& stream, int timeoutMs = 10000)
{
    auto payload = readFramePumping (stream, timeoutMs);
    return payload ? payload->toString() : juce::String ("<no frame>");
}

/** A cluster server speaking raw bytes on the system's discovery and control ports. */
struct RawServer
{
    WirePeer::Datagrams udp { DiscoveryProtocol::serverPort };
    WirePeer::Listener tcp { ControlProtocol::serverPort };
    std::optional<WirePeer::Datagrams::Received> request;   // the last discovery request answered
    std::vector<juce::MemoryBlock> joining;                  // the joining messages of the last connection

    /** The next control connection, with its five joining messages read. */
    std::unique_ptr<WirePeer::Stream> acceptJoin (int timeoutMs = 10000)
    {
        auto stream = tcp.accept (timeoutMs);
        joining.clear();

        for (int i = 0; stream != nullptr && i < 5; ++i)
            if (auto payload = readFramePumping (*stream))
                joining.push_back (*payload);

        return stream;
    }

    /** Connects the client straight to this server. */
    std::unique_ptr<WirePeer::Stream> join (ClientIPC& client)
    {
        EXPECT_TRUE (client.connectToSocket (TestEnvironment::testAddress, ControlProtocol::serverPort, 1000));
        return acceptJoin();
    }

    /** Accepts the next discovery request, with the machine ID of its sender's address. */
    std::unique_ptr<WirePeer::Stream> acceptNextSearch (int clusterID = 9, int timeoutMs = 10000)
    {
        request = udp.receive (timeoutMs);

        if (! request)
            return nullptr;

        udp.send (request->senderIP, request->senderPort,
                  DiscoveryProtocol::acceptance (computeMachineID (request->senderIP), request->senderPort, clusterID));
        return acceptJoin (timeoutMs);
    }

    juce::String joiningTexts() const
    {
        juce::StringArray texts;

        for (auto const& payload : joining)
            texts.add (payload.toString());

        return texts.joinIntoString ("; ");
    }
};
