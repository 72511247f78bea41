// Two servers of one cluster meet. Each looks for others with its cluster's
// discovery request from its discovery port; of two, the one with the higher
// machine ID gives way at once, and one that the other outlasts gives way
// too. Another server's probe is answered without registering a machine, a
// server that has given way takes no machine any more, and the machine that
// hosts it ends it and joins the server that stays.

#include "support/ClientHarness.h"
#include "support/ServerFixture.h"

namespace
{
/** Another server of the cluster at an address of its own: its discovery
    socket (port 25476 of that address), and one that hears the broadcasts. */
struct OtherServer : Peer
{
    WirePeer::Datagrams discovery, broadcasts { DiscoveryProtocol::serverPort, "255.255.255.255" };

    explicit OtherServer (juce::String const& address) : Peer (address), discovery (DiscoveryProtocol::serverPort, address) {}

    /** The next broadcast to the discovery port: a probe, or a machine's search. */
    std::optional<WirePeer::Datagrams::Received> heard (int timeoutMs = 4000) { return broadcasts.receive (timeoutMs); }

    /** Answers the probe of the server at the test address as a server of 'cluster'. */
    void answer (int cluster = 4711)
    {
        discovery.send (TestEnvironment::testAddress, DiscoveryProtocol::serverPort,
                        DiscoveryProtocol::acceptance (computeMachineID (TestEnvironment::testAddress),
                                                       DiscoveryProtocol::serverPort, cluster));
    }
};

/** An address of the test network whose machine ID is below (or above) the test address's. */
juce::String addressWhoseID (bool below)
{
    for (int i = 2; i < 255; ++i)
        if (auto const address = "192.168.77." + juce::String (i);
            (computeMachineID (address) < computeMachineID (TestEnvironment::testAddress)) == below)
            return address;

    return {};
}
} // namespace

struct ServerMerge : ServerFixture
{
    std::atomic<int> givenWay { 0 };

    void startMergingServer()
    {
        IPCServer::Limits limits;
        limits.rivalSearch = { 100, 200, 3000, 3000, 5000 };
        givenWay = 0;
        server = std::make_unique<IPCServer> (limits, [this] { ++givenWay; });
    }
};

TEST_F (ServerMerge, ItGivesWayToALowerIDAtOnceAndToAHigherOneAfterItsPatience)
{
    startMergingServer();
    OtherServer lower (addressWhoseID (true));

    // The probe: the cluster's request from the discovery port, again and again.
    for (int i = 0; i < 2; ++i)
    {
        auto const probe = lower.heard();
        ASSERT_TRUE (probe.has_value());
        EXPECT_EQ (probe->text + " from " + juce::String (probe->senderPort), "DISCOVERY_REQUEST CLUSTERID: 4711 from 25476");
    }

    lower.answer();
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return givenWay > 0; }, 2000));

    // Given way, it neither probes nor takes machines, and tells it once.
    lower.answer();
    Peer late ("192.168.77.240");
    late.ask ("DISCOVERY_REQUEST CLUSTERID: 4711");
    EXPECT_EQ (late.udp->receiveText (1000), "(nothing)");
    while (lower.heard (10)) {}
    EXPECT_FALSE (lower.heard (1000).has_value()) << "it still probes";
    EXPECT_EQ (givenWay.load(), 1);

    // Against a higher ID it stays, and answers of no server of its cluster count for nothing
    destroyServer();
    startMergingServer();
    OtherServer higher (addressWhoseID (false));
    ASSERT_TRUE (higher.heard().has_value());
    auto const since = juce::Time::getMillisecondCounter();

    // (from a lower ID: another cluster's, a rejection, an acceptance from a machine's port)...
    while (juce::Time::getMillisecondCounter() - since < 1500)
    {
        lower.answer (12);
        lower.discovery.send (TestEnvironment::testAddress, 25476, "REJECTED");
        lower.udp->send (TestEnvironment::testAddress, 25476, DiscoveryProtocol::acceptance (computeMachineID (TestEnvironment::testAddress), 25476, 4711));
        higher.answer();
        juce::Thread::sleep (100);
    }

    EXPECT_EQ (givenWay.load(), 0);

    // ...until the other has outlasted its patience.
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { higher.answer(); juce::Thread::sleep (50); return givenWay > 0; }, 4000));
}

TEST_F (ServerMerge, AnotherServersProbeIsAnsweredButRegistersNoMachine)
{
    IPCServer::Limits limits;
    limits.joinTimeoutMs = 300;
    startServer (limits);
    auto host = join ("192.168.77.2", 1920, 1080, "MAC", "TRUE");
    OtherServer other ("192.168.77.3");

    other.discovery.send (TestEnvironment::testAddress, 25476, "DISCOVERY_REQUEST CLUSTERID: 12");
    other.discovery.send (TestEnvironment::testAddress, 25476, "DISCOVERY_REQUEST CLUSTERID: 4711");
    EXPECT_EQ (other.discovery.receiveText(), "ACCEPTED: " + juce::String (other.id) + " UDPPORT: 25476 CLUSTERID: 4711");
    EXPECT_EQ (other.discovery.receiveText (500), "(nothing)");

    // Nobody hears of it: the next machine learns of two machines, and no removal follows.
    auto next = join ("192.168.77.4");
    next.send ("Send monitors");
    int trees = 0;

    while (auto const payload = next.tcp->readFrame (500))
        trees += treeOf (payload).hasType ("machineInfo") ? 1 : 0;

    EXPECT_EQ (trees, 2);
    juce::Thread::sleep (600);

    for (auto* peer : { &host, &next })
        for (auto const& text : peer->tcp->readTexts())
            EXPECT_FALSE (text.startsWith ("Remove machine")) << text;

    EXPECT_FALSE (log->all().contains ("192.168.77.3"));
}

TEST_F (ServerMerge, AMachineWhoseServerGivesWayEndsItAndJoinsTheOneThatStays)
{
    RecordingClient client;
    client.clusterID = clusterID;
    client.createOwnServer();
    {
        DiscoveryRun run (client);
        ASSERT_TRUE (run.finished() && run.joined());
    }

    OtherServer lower (addressWhoseID (true));
    ASSERT_TRUE (lower.heard().has_value());
    lower.answer();
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return ! client.hostsServer(); }, 3000));

    // Searching again, it finds the server that stays and joins it without serving itself.
    WirePeer::Listener tcp (ControlProtocol::serverPort);
    auto search = lower.heard();

    while (search.has_value() && search->senderPort == DiscoveryProtocol::serverPort)
        search = lower.heard();

    ASSERT_TRUE (search.has_value());
    lower.discovery.send (search->senderIP, search->senderPort,
                          DiscoveryProtocol::acceptance (computeMachineID (search->senderIP), search->senderPort, clusterID));
    auto stream = tcp.accept();
    ASSERT_NE (stream, nullptr);
    stream->setPumping (true);
    auto const joining = stream->readTextsUntil ("Is server: FALSE");
    EXPECT_EQ (joining[joining.size() - 1], "Is server: FALSE") << joining.joinIntoString ("; ");
    EXPECT_EQ (client.count ("tellMainComponentIAmServer"), 0);
    EXPECT_FALSE (client.hostsServer());
}
