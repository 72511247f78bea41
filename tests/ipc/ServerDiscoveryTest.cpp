#include "support/ServerFixture.h"

#include "ipc/DiscoveryProtocol.h"

struct ServerDiscovery : ServerFixture {};

TEST_F (ServerDiscovery, DrawsAClusterIDAndRepliesByIt)
{
    settings().removeValue ("clusterID");
    startServer();
    clusterID = settings().getIntValue ("clusterID", -1);
    EXPECT_TRUE (clusterID >= 1 && clusterID <= 99999) << clusterID;
    EXPECT_TRUE (settings().getFile().loadFileAsString().contains (juce::String (clusterID)));   // saved at once

    // A broadcast reaches it; the answer comes from 25476 to the request's source port.
    Peer peer ("192.168.77.2");
    auto const request = "DISCOVERY_REQUEST CLUSTERID: " + juce::String (clusterID);
    peer.udp->send (DiscoveryProtocol::broadcastAddress, 25476, request);
    auto const reply = peer.udp->receive (3000);
    EXPECT_EQ (reply ? reply->text + " from " + juce::String (reply->senderPort) : "(nothing)",
               acceptance (peer) + " from 25476");

    // Another cluster's ID, and "CLUSTERID:" without the blank, which reads 0.
    for (auto const& other : { "DISCOVERY_REQUEST CLUSTERID: " + juce::String (clusterID + 1),
                               "DISCOVERY_REQUEST CLUSTERID:" + juce::String (clusterID) })
    {
        peer.ask (other);
        EXPECT_EQ (peer.udp->receiveText(), "REJECTED") << other;
    }

    // Not connected yet, asking again is accepted again; connected, it is a duplicate and not answered.
    peer.ask (request);
    EXPECT_EQ (peer.udp->receiveText(), acceptance (peer));
    peer.connect();
    TestEnvironment::pump (200);
    peer.ask (request);
    EXPECT_EQ (peer.udp->receiveText (400), "(nothing)");

    // Addresses whose IDs are below 1 (0 and -2147483648) are registered but not answered.
    for (auto const* ip : { "186.156.236.4", "52.13.35.254" })
    {
        Peer low (ip);
        low.ask (request);
        EXPECT_EQ (low.udp->receiveText (400), "(nothing)") << ip;
    }

    peer.send ("Send monitors");
    juce::StringArray ips;

    for (int i = 0; i < 3; ++i)
        ips.add (treeOf (peer.tcp->readFrame (3000))["IP"].toString());

    EXPECT_EQ (ips.joinIntoString (" "), "52.13.35.254 186.156.236.4 192.168.77.2");
}

TEST_F (ServerDiscovery, BadDatagramsAndFloodsLeaveItServing)
{
    startServer();
    Peer junk (TestEnvironment::testAddress);

    for (auto const& bytes : { std::string(), std::string ("H"), std::string (300, 'Z'), std::string ("\0\xff\x80junk", 7),
                               std::string ("AB\0CD", 5), std::string ("x\xe9\xff"), std::string ("CANCEL: 192.168.77.1") })
        junk.udp->sendBytes (TestEnvironment::testAddress, 25476, bytes.data(), bytes.size());

    EXPECT_EQ (junk.udp->receiveText (400), "(nothing)");

    // Read as text: at most 256 bytes, up to the first zero, each byte one character.
    auto const received = [this] (juce::String const& text) { return log->mentions ("UDPThread: received " + text + " from "); };
    EXPECT_TRUE (received (juce::String::repeatedString ("Z", 256)));
    EXPECT_TRUE (received ("AB"));
    EXPECT_TRUE (received ("x" + juce::String::charToString (0xe9) + juce::String::charToString (0xff)));

    // Requests from 30 addresses, five rounds each, of this cluster and of another.
    std::vector<Peer> peers;

    for (int i = 10; i < 40; ++i)
        peers.emplace_back ("192.168.77." + juce::String (i));

    for (int round = 0; round < 5; ++round)
        for (size_t i = 0; i < peers.size(); ++i)
            peers[i].ask ("DISCOVERY_REQUEST CLUSTERID: " + juce::String (i % 2 == 0 ? clusterID : 1));

    for (size_t i = 0; i < peers.size(); ++i)
        for (int round = 0; round < 5; ++round)
            EXPECT_EQ (peers[i].udp->receiveText(), i % 2 == 0 ? acceptance (peers[i]) : "REJECTED");

    accept ("192.168.77.2");
}
