// Discovery against a raw server: the address the client binds, the attempt
// loop, the wait for approval and its cancellation, and what an acceptance sets.

#include "ipc/ClientFileTransfer.h"
#include "ipc/MulticastInterface.h"
#include "ipc/MyQuillsteadIPC.h"
#include "core/SingletonApplicationProperties.h"
#include "support/LogCapture.h"
#include "support/ClientHarness.h"

namespace
{
int storedClusterID()
{
    return SingletonApplicationProperties::get().getUserSettings()->getIntValue ("clusterID", -1);
}
} // namespace

TEST (DiscoveryClient, PicksAmongTheAddressesOfTheNamespacesInterfaces)
{
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE (TestEnvironment::enterLoopbackOnlyNamespace());
    EXPECT_EQ (pickBestMulticastInterface().toString(), "0.0.0.0");
    ASSERT_TRUE (TestEnvironment::runIp ("link add a0 type veth peer name a1"));

    // Addresses added step by step, and the choice after each step.
    std::pair<juce::StringArray, juce::String> const steps[] {
        { { "169.254.3.3/16 dev a0" }, "0.0.0.0" },
        { { "172.16.0.1/24 dev a0", "172.31.0.9/24 dev a0" }, "172.31.0.9" },
        { { "10.1.1.1/24 dev a1", "10.2.2.2/24 dev a1" }, "10.1.1.1" },
        { { "192.168.1.20/24 dev a1", "192.168.2.7/24 dev a1" }, "192.168.2.7" },
    };

    for (auto const& [addresses, expected] : steps)
    {
        for (auto const& address : addresses)
            ASSERT_TRUE (TestEnvironment::runIp ("addr add " + address));

        EXPECT_EQ (pickBestMulticastInterface().toString(), expected);
    }
}

TEST (DiscoveryClient, AcceptedAtOnceJoinsAndListensForFiles)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    LogCapture log;
    RawServer server;
    RecordingClient client;
    client.clusterID = 4711;
    DiscoveryRun run (client);

    auto stream = server.acceptNextSearch (4711);
    ASSERT_NE (stream, nullptr);
    EXPECT_EQ (server.request->bytes, juce::MemoryBlock ("DISCOVERY_REQUEST CLUSTERID: 4711", 33));
    EXPECT_TRUE (log.contains ("Client: start UDP connection attempt, bound to 192.168.77.1, cluster ID: 4711"));

    // The joining messages in order; the monitors as the tree the server reads.
    auto const id = computeMachineID (TestEnvironment::testAddress);
    EXPECT_EQ (server.joiningTexts(), "Connected client: " + juce::String (id) + "; Operating system: MAC; Is server: FALSE; newMonitorInfo; Send monitors");
    ASSERT_EQ (server.joiningPayloads.size(), 5u);
    EXPECT_EQ (server.joiningPayloads[3], ControlProtocol::treePayload (createMonitorInfo (true)));

    ASSERT_TRUE (run.finished());
    EXPECT_TRUE (run.joined());
    EXPECT_EQ (client.clientID.load(), id);
    EXPECT_EQ (storedClusterID(), -1);   // a machine with a cluster ID keeps its own and stores nothing

    EXPECT_NE (WirePeer::Stream::connect (TestEnvironment::testAddress, server.request->senderPort + 1), nullptr);
}

// Only a reply from port 25476 counts, and an acceptance only when its UDPPORT
// is the port the request went from; an acceptance whose connection fails is
// told apart from none.
TEST (DiscoveryClient, OnlyAnAcceptanceFromTheDiscoveryPortForTheRequestsPortIsTaken)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    RawServer server;
    server.tcp.reset();   // the control port does not listen yet
    WirePeer::Datagrams other (40000);
    WirePeer::Listener otherTcp (40001);
    RecordingClient client;
    auto run = std::make_unique<DiscoveryRun> (client);

    auto request = server.udp.receive (5000);
    ASSERT_TRUE (request.has_value());
    EXPECT_EQ (request->text, "DISCOVERY_REQUEST");
    auto const ownPort = juce::String (request->senderPort);

    // Nobody's replies: the next attempt follows at once.
    std::pair<WirePeer::Datagrams*, juce::String> const spoofed[] { { &other, "ACCEPTED: 55 UDPPORT: " + ownPort },
                                                                    { &other, "WAIT" },
                                                                    { &server.udp, "ACCEPTED: 55 UDPPORT: 25476" },
                                                                    { &server.udp, "ACCEPTED: 55" } };

    for (auto const& [from, text] : spoofed)
    {
        from->send (request->senderIP, request->senderPort, text);
        request = server.udp.receive (5000);
        ASSERT_TRUE (request.has_value()) << text;
    }

    EXPECT_EQ (otherTcp.accept (200), nullptr);

    server.udp.send (request->senderIP, request->senderPort, "ACCEPTED: 55 UDPPORT: " + ownPort);
    ASSERT_TRUE (run->finished());
    EXPECT_EQ (run->result, ClientIPC::Discovery::connectFailed);
    EXPECT_EQ (client.fileTransferServer, nullptr);

    // Taken: the cluster ID 0 of an acceptance without one is adopted and
    // stored, the control connection goes to 25477, the file listener to the
    // machine port + 1.
    run.reset();
    server.tcp = std::make_unique<WirePeer::Listener> (ControlProtocol::serverPort);
    run = std::make_unique<DiscoveryRun> (client);
    request = server.udp.receive (5000);
    ASSERT_TRUE (request.has_value());
    server.udp.send (request->senderIP, request->senderPort, "ACCEPTED: 55 UDPPORT: " + juce::String (request->senderPort));
    auto connection = server.tcp->accept();
    ASSERT_NE (connection, nullptr);
    EXPECT_EQ (connection->readText(), "Connected client: 55");

    ASSERT_TRUE (run->finished());
    EXPECT_TRUE (run->joined());
    EXPECT_EQ (client.clusterID.load(), 0);
    EXPECT_EQ (storedClusterID(), 0);
    EXPECT_TRUE (SingletonApplicationProperties::makeOptions().getDefaultFile().loadFileAsString().contains ("clusterID"));
    EXPECT_NE (WirePeer::Stream::connect (TestEnvironment::testAddress, request->senderPort + 1), nullptr);
}

// Ten attempts a run: a rejection costs no pause, a missing reply 250 ms and a pause.
TEST (DiscoveryClient, TenAttemptsRejectedOrUnansweredEndTheRun)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RawServer server;
    RecordingClient client;
    client.clusterID = 12;
    DiscoveryRun run (client);

    for (int i = 0; i < 10; ++i)
    {
        auto request = server.udp.receive (5000);
        ASSERT_TRUE (request.has_value()) << "request " << i;

        if (i < 5)
            server.udp.send (request->senderIP, request->senderPort, DiscoveryProtocol::rejection());
    }

    ASSERT_TRUE (run.finished());
    EXPECT_EQ (run.result, ClientIPC::Discovery::notAccepted);
    EXPECT_FALSE (server.udp.receive (600).has_value());
    EXPECT_EQ (log.count ("Client: UPD write successful but read failed"), 5);
    EXPECT_EQ (client.fileTransferServer, nullptr);
}

// After "WAIT" nothing but an acceptance counts, however long it takes; an exit
// request of the thread sends "CANCEL: " with the bound address instead.
TEST (DiscoveryClient, AfterWaitOnlyAnAcceptanceOrAnExitRequestEndsTheRun)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RawServer server;

    for (bool accept : { true, false })
    {
        while (server.udp.receive (100)) {}   // the first client's searches after its connection went
        RecordingClient client;
        DiscoveryRun run (client);
        auto request = server.udp.receive (5000);
        ASSERT_TRUE (request.has_value());
        auto reply = [&] (juce::String const& text) { server.udp.send (request->senderIP, request->senderPort, text); };

        reply (DiscoveryProtocol::waitReply());
        ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return log.count ("Received WAIT") == (accept ? 1 : 2); }));
        reply ("WAIT");
        reply ("REJECTED");
        reply ("Hello");
        EXPECT_FALSE (server.udp.receive (1500).has_value());   // no further request while waiting
        EXPECT_FALSE (run.done);

        if (accept)
        {
            reply (DiscoveryProtocol::acceptance (31, request->senderPort, 8));
            EXPECT_NE (server.tcp->accept(), nullptr);
            ASSERT_TRUE (run.finished());
            EXPECT_TRUE (run.joined());
            EXPECT_EQ (client.clientID.load(), 31);
            continue;
        }

        run.signalThreadShouldExit();
        auto cancel = server.udp.receive (5000);
        ASSERT_TRUE (cancel.has_value());
        EXPECT_EQ (cancel->text, "CANCEL: 192.168.77.1");
        EXPECT_EQ (cancel->senderPort, request->senderPort);
        ASSERT_TRUE (run.finished());
        EXPECT_EQ (run.result, ClientIPC::Discovery::notAccepted);
        EXPECT_EQ (client.fileTransferServer, nullptr);
    }
}
