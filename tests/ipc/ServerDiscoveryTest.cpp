#include "ServerPeers.h"

#include "app/SingletonApplicationProperties.h"
#include "ipc/DiscoveryProtocol.h"
#include "ipc/Machine.h"

using namespace ServerPeers;

TEST (DiscoveryProtocol, DatagramTextIsBytesUpToTheFirstZeroEachOneCharacter)
{
    EXPECT_EQ (DiscoveryProtocol::datagramText ("AB\0CD", 5), "AB");
    unsigned char const high[] = { 'x', 0xe9, 0xff };
    EXPECT_EQ (DiscoveryProtocol::datagramText (high, 3), juce::String ("x") + juce::String::charToString (0xe9) + juce::String::charToString (0xff));
}

//==============================================================================
struct ServerDiscovery : ServerFixture {};

TEST_F (ServerDiscovery, DrawsAndStoresAClusterIDWhenThereIsNone)
{
    auto* settings = SingletonApplicationProperties::get().getUserSettings();
    settings->removeValue ("clusterID");
    startServer();

    auto drawn = settings->getIntValue ("clusterID", -1);
    EXPECT_GE (drawn, 1);
    EXPECT_LE (drawn, 99999);
    EXPECT_TRUE (settings->getFile().loadFileAsString().contains (juce::String (drawn)));   // saved at once

    // A stored 0 is used unchanged: then "CLUSTERID:" without the blank (reading 0) matches.
    destroyServer();
    settings->setValue ("clusterID", juce::var (0));
    startServer();
    DatagramPeer peer;
    peer.send ("DISCOVERY_REQUEST CLUSTERID:");
    EXPECT_EQ (peer.receive().value_or (""), "ACCEPTED: " + std::to_string (computeMachineID (peer.address))
                                                + " UDPPORT: " + std::to_string (peer.port) + " CLUSTERID: 0");
}

TEST_F (ServerDiscovery, RepliesByClusterIDToTheRequestsSourcePort)
{
    startServer();
    EXPECT_TRUE (log->mentions ("Server: UDP port bound to 192.168.77.1 port 25476 clusterID 4711"));

    addAddress ("192.168.77.2");
    DatagramPeer peer ("192.168.77.2");

    // A broadcast reaches the server; the acceptance goes to the source port.
    peer.send ("DISCOVERY_REQUEST CLUSTERID: 4711", DiscoveryProtocol::broadcastAddress);
    int from = 0;
    EXPECT_EQ (peer.receive (2000, &from).value_or (""),
               "ACCEPTED: " + std::to_string (computeMachineID ("192.168.77.2")) + " UDPPORT: "
                 + std::to_string (peer.port) + " CLUSTERID: 4711");
    EXPECT_EQ (from, 25476);

    for (auto const* other : { "DISCOVERY_REQUEST CLUSTERID: 12", "DISCOVERY_REQUEST CLUSTERID:4711" })
    {
        peer.send (other);
        EXPECT_EQ (peer.receive().value_or (""), "REJECTED") << other;
    }

    EXPECT_TRUE (log->mentions ("Client with non-matching cluster ID, rejecting..."));

    // Not connected yet: asking again replaces the record and is accepted again.
    peer.send ("DISCOVERY_REQUEST CLUSTERID: 4711");
    EXPECT_TRUE (juce::String (peer.receive().value_or ("")).startsWith ("ACCEPTED: "));

    // Connected: a further request is a duplicate and gets no reply.
    FramePeer tcp ("192.168.77.2");
    pump (200);
    peer.send ("DISCOVERY_REQUEST CLUSTERID: 4711");
    EXPECT_FALSE (peer.receive (400).has_value());
    EXPECT_TRUE (log->mentions ("Server: duplicate addition attempt 192.168.77.2 " + juce::String (peer.port)));
}

TEST_F (ServerDiscovery, AnAddressWhoseIDIsBelowOneIsRegisteredButNotAnswered)
{
    startServer();

    for (auto const* ip : { "186.156.236.4", "52.13.35.254" })   // IDs 0 and -2147483648
    {
        addAddress (ip);
        DatagramPeer peer (ip);
        peer.send ("DISCOVERY_REQUEST CLUSTERID: 4711");
        EXPECT_FALSE (peer.receive (400).has_value()) << ip;
    }

    EXPECT_EQ (log->countMentioning ("UDPThread: socket not ready for writing acceptance message"), 2);

    // Both are registered: a machine that joins now sees them in "Send monitors".
    auto joined = accept ("192.168.77.3");
    FramePeer tcp ("192.168.77.3");
    tcp.send ("Send monitors");
    juce::StringArray ips;

    for (int i = 0; i < 3; ++i)
        ips.add (treeOf (tcp.receive().value_or ("")) ["IP"].toString());

    EXPECT_EQ (ips.joinIntoString (" "), "52.13.35.254 186.156.236.4 192.168.77.3");
}

TEST_F (ServerDiscovery, BadDatagramsAndFloodsLeaveItServing)
{
    startServer();
    DatagramPeer junk;

    junk.send ("");
    junk.send ("H");
    junk.send ("Hello");
    junk.send (std::string (300, 'Z'));
    junk.send (std::string ("\x00\xff\x80garbage", 10));
    junk.send ("CANCEL: 192.168.77.1");   // no dialog open: nothing, no reply
    EXPECT_FALSE (junk.receive (400).has_value());

    EXPECT_TRUE (log->mentions ("UDPThread: undigested message: Hello"));
    EXPECT_TRUE (log->mentions ("UDPThread: undigested message: H"));
    EXPECT_TRUE (log->mentions ("UDPThread: received " + juce::String::repeatedString ("Z", 256) + " from"));
    EXPECT_TRUE (log->mentions ("UDPThread received CANCEL: 192.168.77.1"));
    EXPECT_EQ (log->countMentioning ("UDPThread: received "), 5);   // the empty datagram is not even logged

    // Requests from many addresses, of this cluster and of others.
    std::vector<std::unique_ptr<DatagramPeer>> peers;

    for (int i = 10; i < 40; ++i)
    {
        addAddress ("192.168.77." + juce::String (i));
        peers.push_back (std::make_unique<DatagramPeer> ("192.168.77." + juce::String (i)));
    }

    for (int round = 0; round < 5; ++round)
        for (size_t i = 0; i < peers.size(); ++i)
            peers[i]->send (i % 2 == 0 ? "DISCOVERY_REQUEST CLUSTERID: 4711" : "DISCOVERY_REQUEST CLUSTERID: 1");

    for (size_t i = 0; i < peers.size(); ++i)
        for (int round = 0; round < 5; ++round)
            EXPECT_EQ (juce::String (peers[i]->receive().value_or ("")).startsWith ("ACCEPTED: "), i % 2 == 0);

    auto joined = accept ("192.168.77.2");
    destroyServer();
}
