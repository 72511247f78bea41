#include "ipc/ClientFileTransfer.h"
#include "ipc/DiscoveryProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MulticastInterface.h"
#include "ipc/MyQuillsteadIPC.h"
#include "app/SingletonApplicationProperties.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "ClientHarness.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;

namespace
{
int storedClusterID()
{
    return SingletonApplicationProperties::get().getUserSettings()->getIntValue ("clusterID", -1);
}

// A raw server on the discovery port of the test namespace.
struct RawDiscoveryServer
{
    WirePeer::Datagrams udp { DiscoveryProtocol::serverPort };
    WirePeer::Listener tcp { ControlProtocol::serverPort };

    std::optional<WirePeer::Datagrams::Received> nextRequest (int timeoutMs = 5000)
    {
        return udp.receive (timeoutMs);
    }
};
} // namespace

TEST (DiscoveryClient, PicksAmongTheAddressesOfTheNamespacesInterfaces)
{
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_TRUE (TestEnvironment::enterLoopbackOnlyNamespace());
    EXPECT_EQ (pickBestMulticastInterface().toString(), "0.0.0.0");

    ASSERT_TRUE (TestEnvironment::runIp ("link add a0 type veth peer name a1"));
    ASSERT_TRUE (TestEnvironment::runIp ("addr add 169.254.3.3/16 dev a0"));
    EXPECT_EQ (pickBestMulticastInterface().toString(), "0.0.0.0");

    ASSERT_TRUE (TestEnvironment::runIp ("addr add 172.16.0.1/24 dev a0"));
    ASSERT_TRUE (TestEnvironment::runIp ("addr add 172.31.0.9/24 dev a0"));
    EXPECT_EQ (pickBestMulticastInterface().toString(), "172.31.0.9");

    ASSERT_TRUE (TestEnvironment::runIp ("addr add 10.1.1.1/24 dev a1"));
    ASSERT_TRUE (TestEnvironment::runIp ("addr add 10.2.2.2/24 dev a1"));
    EXPECT_EQ (pickBestMulticastInterface().toString(), "10.1.1.1");

    ASSERT_TRUE (TestEnvironment::runIp ("addr add 192.168.1.20/24 dev a1"));
    ASSERT_TRUE (TestEnvironment::runIp ("addr add 192.168.2.7/24 dev a1"));
    EXPECT_EQ (pickBestMulticastInterface().toString(), "192.168.2.7");

    // With none of them, "CANCEL: " would carry 0.0.0.0.
    EXPECT_EQ (DiscoveryProtocol::cancel (juce::IPAddress().toString()), "CANCEL: 0.0.0.0");
}

TEST (DiscoveryClient, AcceptedAtOnceJoinsAndListensForFiles)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    LogCapture log;
    RawDiscoveryServer server;
    ASSERT_TRUE (server.udp.isBound());
    ASSERT_TRUE (server.tcp.isListening());

    RecordingClient client;
    client.clusterID = 4711;
    DiscoveryRun run (client);

    auto request = server.nextRequest();
    ASSERT_TRUE (request.has_value());
    EXPECT_EQ (request->text, "DISCOVERY_REQUEST CLUSTERID: 4711");
    EXPECT_EQ (request->bytes.getSize(), (size_t) request->text.length());   // no terminator
    EXPECT_EQ (request->senderIP, TestEnvironment::testAddress);

    auto const id = computeMachineID (request->senderIP);
    ASSERT_TRUE (server.udp.send (request->senderIP, request->senderPort,
                                  DiscoveryProtocol::acceptance (id, request->senderPort, 4711)));

    auto connection = server.tcp.accept();
    ASSERT_NE (connection, nullptr);

    // The joining messages, in order, then "Send monitors".
    EXPECT_EQ (readTextFramePumping (*connection), "Connected client: " + juce::String (id));
    EXPECT_EQ (readTextFramePumping (*connection), "Operating system: MAC");
    EXPECT_EQ (readTextFramePumping (*connection), "Is server: FALSE");
    auto treePayload = readFramePumping (*connection);
    ASSERT_TRUE (treePayload.has_value());
    auto tree = juce::ValueTree::readFromData (treePayload->getData(), treePayload->getSize());
    EXPECT_TRUE (tree.hasType ("newMonitorInfo"));
    EXPECT_EQ (ControlProtocol::treePayload (createMonitorInfo (true)), *treePayload);
    EXPECT_EQ (readTextFramePumping (*connection), "Send monitors");

    ASSERT_TRUE (run.waitForResult());
    EXPECT_TRUE (run.result);
    EXPECT_EQ (client.clientID.load(), id);
    EXPECT_EQ (client.clusterID.load(), 4711);
    EXPECT_EQ (client.serverIP, TestEnvironment::testAddress);
    EXPECT_EQ (client.serverPort, DiscoveryProtocol::serverPort);
    EXPECT_EQ (client.discoverySocket, nullptr);

    ASSERT_NE (client.fileTransferServer, nullptr);
    EXPECT_EQ (client.fileTransferServer->port, request->senderPort + 1);
    EXPECT_NE (WirePeer::Stream::connect (TestEnvironment::testAddress, request->senderPort + 1), nullptr);

    EXPECT_TRUE (log.contains ("Client: start UDP connection attempt, bound to 192.168.77.1, cluster ID: 4711"));
    EXPECT_TRUE (log.contains ("ACCEPTED! Client ID: " + juce::String (id) + ", Server IP: 192.168.77.1 clusterID: 4711"));
    EXPECT_TRUE (log.contains ("TCP connected"));
    EXPECT_TRUE (log.contains ("File transfer server: begin waiting at " + juce::String (request->senderPort + 1)));
    EXPECT_EQ (storedClusterID(), -1);   // a machine with a cluster ID keeps its own and stores nothing
}

TEST (DiscoveryClient, AcceptanceFromAnotherSenderWithoutClusterIDIsAdoptedAndConnectsToItsPortPlusOne)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    RawDiscoveryServer server;
    WirePeer::Datagrams other (40000);
    WirePeer::Listener otherTcp (40001);

    RecordingClient client;
    DiscoveryRun run (client);

    auto request = server.nextRequest();
    ASSERT_TRUE (request.has_value());
    EXPECT_EQ (request->text, "DISCOVERY_REQUEST");

    // No "CLUSTERID: ": the cluster ID reads 0 and is adopted and stored.
    ASSERT_TRUE (other.send (request->senderIP, request->senderPort, "ACCEPTED: 55 UDPPORT: 0"));
    auto connection = otherTcp.accept();
    ASSERT_NE (connection, nullptr);
    EXPECT_EQ (readTextFramePumping (*connection), "Connected client: 55");

    ASSERT_TRUE (run.waitForResult());
    EXPECT_TRUE (run.result);
    EXPECT_EQ (client.serverPort, 40000);
    EXPECT_EQ (client.clusterID.load(), 0);
    EXPECT_EQ (storedClusterID(), 0);
    EXPECT_TRUE (SingletonApplicationProperties::makeOptions().getDefaultFile().loadFileAsString().contains ("clusterID"));

    // No "UDPPORT: ": machine port 0, so the file-transfer listener is for port 1.
    ASSERT_NE (client.fileTransferServer, nullptr);
    EXPECT_EQ (client.fileTransferServer->port, 1);
}

TEST (DiscoveryClient, TenRejectionsEndTheRunWithoutPauses)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RawDiscoveryServer server;
    RecordingClient client;
    client.clusterID = 12;
    DiscoveryRun run (client);

    for (int i = 0; i < 10; ++i)
    {
        auto request = server.nextRequest();
        ASSERT_TRUE (request.has_value()) << "request " << i;
        EXPECT_EQ (request->text, "DISCOVERY_REQUEST CLUSTERID: 12");
        server.udp.send (request->senderIP, request->senderPort, DiscoveryProtocol::rejection());
    }

    ASSERT_TRUE (run.waitForResult());
    EXPECT_FALSE (run.result);
    EXPECT_FALSE (server.nextRequest (600).has_value());   // ten attempts, no more
    EXPECT_EQ (log.count ("Client: UPD write successful but read failed"), 0);
    EXPECT_EQ (client.fileTransferServer, nullptr);
    EXPECT_EQ (client.discoverySocket, nullptr);
}

TEST (DiscoveryClient, NoReplyCostsAPausePerAttemptAndFails)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RecordingClient client;
    DiscoveryRun run (client);
    ASSERT_TRUE (run.waitForResult (20000));
    EXPECT_FALSE (run.result);
    EXPECT_EQ (log.count ("Client: UPD write successful but read failed"), 10);
}

TEST (DiscoveryClient, AfterWaitOnlyAnAcceptanceEndsTheWait)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RawDiscoveryServer server;
    RecordingClient client;
    DiscoveryRun run (client);

    auto request = server.nextRequest();
    ASSERT_TRUE (request.has_value());
    server.udp.send (request->senderIP, request->senderPort, DiscoveryProtocol::waitReply());

    ASSERT_TRUE (RecordingClient::waitUntil ([&] { return log.contains ("Received WAIT"); }));
    server.udp.send (request->senderIP, request->senderPort, "WAIT");
    server.udp.send (request->senderIP, request->senderPort, "REJECTED");
    server.udp.send (request->senderIP, request->senderPort, "Hello");

    // No further request while waiting, and the run goes on.
    EXPECT_FALSE (server.nextRequest (1500).has_value());
    EXPECT_FALSE (run.done);

    server.udp.send (request->senderIP, request->senderPort, DiscoveryProtocol::acceptance (31, request->senderPort, 8));
    auto connection = server.tcp.accept();
    ASSERT_NE (connection, nullptr);
    ASSERT_TRUE (run.waitForResult());
    EXPECT_TRUE (run.result);
    EXPECT_EQ (client.clientID.load(), 31);
}

TEST (DiscoveryClient, ExitRequestWhileWaitingSendsCancelWithTheBoundAddress)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RawDiscoveryServer server;
    RecordingClient client;
    DiscoveryRun run (client);

    auto request = server.nextRequest();
    ASSERT_TRUE (request.has_value());
    server.udp.send (request->senderIP, request->senderPort, DiscoveryProtocol::waitReply());
    ASSERT_TRUE (RecordingClient::waitUntil ([&] { return log.contains ("Received WAIT"); }));

    run.signalThreadShouldExit();

    auto cancel = server.nextRequest();
    ASSERT_TRUE (cancel.has_value());
    EXPECT_EQ (cancel->text, "CANCEL: 192.168.77.1");
    EXPECT_EQ (cancel->senderPort, request->senderPort);

    ASSERT_TRUE (run.waitForResult());
    EXPECT_FALSE (run.result);
    EXPECT_TRUE (log.contains ("Writing CANCEL to server"));
    EXPECT_EQ (client.fileTransferServer, nullptr);
}
