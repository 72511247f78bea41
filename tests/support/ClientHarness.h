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
    bool joined() const { return result == ClientIPC::Discovery::joined; }

    std::atomic<bool> done { false };
    std::atomic<ClientIPC::Discovery> result { ClientIPC::Discovery::notAccepted };

private:
    ClientIPC& client;
};

/** A cluster server speaking raw bytes on the system's discovery and control
    ports. Its streams run the message loop while they wait (the client sends
    some messages from the message thread). */
struct RawServer
{
    WirePeer::Datagrams udp { DiscoveryProtocol::serverPort };
    std::unique_ptr<WirePeer::Listener> tcp = std::make_unique<WirePeer::Listener> (ControlProtocol::serverPort);
    std::optional<WirePeer::Datagrams::Received> request;   // the last discovery request answered
    juce::StringArray joining;                               // the joining messages of the last connection, as texts
    std::vector<juce::MemoryBlock> joiningPayloads;

    /** The next control connection, with its five joining messages read. */
    std::unique_ptr<WirePeer::Stream> acceptJoin (int timeoutMs = 10000)
    {
        auto stream = tcp->accept (timeoutMs);
        joining.clear();
        joiningPayloads.clear();

        if (stream != nullptr)
            stream->setPumping (true);

        for (int i = 0; stream != nullptr && i < 5; ++i)
        {
            if (auto payload = stream->readFrame (timeoutMs))
            {
                joining.add (WirePeer::textOf (*payload));
                joiningPayloads.push_back (*payload);
            }
        }

        return stream;
    }

    /** Connects the client straight to this server. */
    std::unique_ptr<WirePeer::Stream> join (ClientIPC& client)
    {
        EXPECT_TRUE (client.connectToSocket (TestEnvironment::testAddress, ControlProtocol::serverPort, 1000));
        return acceptJoin();
    }

    /** Answers the next discovery request with an acceptance carrying the machine
        ID of its sender's address; the control connection when 'listen'. */
    std::unique_ptr<WirePeer::Stream> acceptNextSearch (int clusterID = 9, int timeoutMs = 10000, bool listen = true)
    {
        // A server's probe, from the discovery port, is no machine's search.
        auto const deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

        do
            request = udp.receive ((int) (deadline - juce::jmin (deadline, juce::Time::getMillisecondCounter())));
        while (request && request->senderPort == DiscoveryProtocol::serverPort);

        if (! request)
            return nullptr;

        udp.send (request->senderIP, request->senderPort,
                  DiscoveryProtocol::acceptance (computeMachineID (request->senderIP), request->senderPort, clusterID));
        return listen ? acceptJoin (timeoutMs) : nullptr;
    }

    juce::String joiningTexts() const { return joining.joinIntoString ("; "); }
};
