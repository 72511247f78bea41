#pragma once

// The cluster server under test, driven by raw peers (support/WirePeer) that
// write datagrams, frames and trees as bytes themselves, so that the wire is
// checked independently of the system's own client.

#include "core/SingletonApplicationProperties.h"
#include "ipc/ControlProtocol.h"
#include "ipc/IPCServer.h"
#include "ipc/Machine.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "support/WirePeer.h"

inline juce::ValueTree treeOf (std::optional<juce::MemoryBlock> const& payload)
{
    return payload ? ControlProtocol::readTree (*payload) : juce::ValueTree();
}

/** A "newMonitorInfo" or "changedMonitorInfo" tree: one monitor filling the desktop. */
inline juce::ValueTree monitorTree (bool isNew, int width, int height)
{
    juce::ValueTree tree (isNew ? "newMonitorInfo" : "changedMonitorInfo");

    for (auto const* type : { "totalArea", "monitor" })
        tree.appendChild ({ type, { { "x", 0 }, { "y", 0 }, { "width", width }, { "height", height } } }, nullptr);

    return tree;
}

/** A machine at an address of its own: its discovery socket and control connection. */
struct Peer
{
    juce::String ip;
    int id = 0, port = 0;
    std::unique_ptr<WirePeer::Datagrams> udp;
    std::unique_ptr<WirePeer::Stream> tcp;
    juce::StringArray toldOnJoining;

    Peer() = default;

    /** A machine at 'address' (added to t0 first), not yet known to the server. */
    explicit Peer (juce::String const& address) : ip (address), id (computeMachineID (address))
    {
        if (ip != TestEnvironment::testAddress)
        {
            TestEnvironment::runIp ("addr add " + ip + (ip.startsWith ("192.168.77.") ? "/24" : "/32") + " dev t0");
            // Connections to the address come from it, as from another machine.
            TestEnvironment::runIp ("route replace local " + ip + " dev t0 table local scope host src " + ip);
        }

        udp = std::make_unique<WirePeer::Datagrams> (0, ip);
        udp->setPumping (true);
        port = udp->getBoundPort();
    }

    void ask (juce::String const& request) { udp->send (TestEnvironment::testAddress, 25476, request); }

    void connect()
    {
        tcp = WirePeer::Stream::connectFrom (ip, 25477);
        ASSERT_NE (tcp, nullptr) << "connect from " << ip;
        tcp->setPumping (true);
    }

    void send (juce::String const& text)      { tcp->writeFrame (text); }
    void send (juce::ValueTree const& tree)   { tcp->writeFrame (ControlProtocol::treePayload (tree)); }

    juce::String removal() const
    {
        return "Remove machine IP: " + ip + " port: " + juce::String (port) + " ID: " + juce::String (id);
    }
};

/** The server with a stored cluster ID, fresh settings and a log. */
struct ServerFixture : ::testing::Test
{
    int clusterID = 4711;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<IPCServer> server;

    void SetUp() override
    {
        REQUIRE_PRIVATE_NETWORK();
        SingletonApplicationProperties::configure();
        settings().setValue ("clusterID", clusterID);
        log = std::make_unique<LogCapture>();
    }

    void TearDown() override
    {
        destroyServer();
        TestEnvironment::pump (100);
        log.reset();
        SingletonApplicationProperties::get().closeFiles();
    }

    static juce::PropertiesFile& settings() { return *SingletonApplicationProperties::get().getUserSettings(); }
    void startServer (IPCServer::Limits limits = {}) { server = std::make_unique<IPCServer> (limits); }

    void destroyServer()
    {
        auto const start = juce::Time::getMillisecondCounter();
        server.reset();
        EXPECT_LT (juce::Time::getMillisecondCounter() - start, 5000u) << "the server's destructor hangs";
    }

    juce::String acceptance (Peer const& peer) const
    {
        return "ACCEPTED: " + juce::String (peer.id) + " UDPPORT: " + juce::String (peer.port)
                 + " CLUSTERID: " + juce::String (clusterID);
    }

    /** A machine that asked with the cluster ID and was accepted. */
    Peer accept (juce::String const& ip)
    {
        Peer peer (ip);
        peer.ask ("DISCOVERY_REQUEST CLUSTERID: " + juce::String (clusterID));
        EXPECT_EQ (peer.udp->receiveText(), acceptance (peer));
        return peer;
    }

    /** Accepted, connected, and through the joining sequence (without "Send
        monitors") up to its own place; what it was sent is in toldOnJoining. */
    Peer join (juce::String const& ip, int width = 1920, int height = 1080, juce::String const& os = "MAC",
               juce::String const& isServer = "FALSE")
    {
        auto peer = accept (ip);
        finishJoining (peer, width, height, os, isServer);
        return peer;
    }

    /** The joining sequence of an accepted machine. */
    static void finishJoining (Peer& peer, int width = 1920, int height = 1080, juce::String const& os = "MAC",
                               juce::String const& isServer = "FALSE")
    {
        peer.connect();
        EXPECT_TRUE (tryJoining (peer, width, height, os, isServer)) << "no place for " << peer.ip;
    }

    /** The joining sequence on the peer's connection, up to the machine's own
        place; false when the place does not come. */
    static bool tryJoining (Peer& peer, int width = 1920, int height = 1080, juce::String const& os = "MAC",
                            juce::String const& isServer = "FALSE")
    {
        peer.send ("Connected client: " + juce::String (peer.id));
        peer.send ("Operating system: " + os);
        peer.send ("Is server: " + isServer);
        peer.send (monitorTree (true, width, height));

        auto const ownPlace = "Display position ID: " + juce::String (peer.id) + " x: ";
        juce::String text;

        while (! text.startsWith (ownPlace) && text != "(nothing)")
            peer.toldOnJoining.add (text = peer.tcp->readText());

        return text.startsWith (ownPlace);
    }
};
