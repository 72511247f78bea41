#include "ServerFixture.h"

#include <set>
#include <thread>

struct ServerConnections : ServerFixture {};

TEST_F (ServerConnections, PairsInAscendingIDOrder)
{
    startServer();
    auto a = accept ("192.168.77.2"), b = accept ("192.168.77.3");
    auto& low = a.id < b.id ? a : b;
    auto& high = a.id < b.id ? b : a;

    // Both were accepted before either connected: the first connection, though
    // opened from the higher ID's address, belongs to the lower ID.
    high.connect();
    high.send ("Operating system: WIN");
    high.send ("Send monitors");
    auto const first = treeOf (high.tcp->readFrame (3000)), second = treeOf (high.tcp->readFrame (3000));
    EXPECT_EQ (first["ID"].toString() + " " + first["IP"].toString() + " " + first["port"].toString() + " " + first["OS"].toString(),
               juce::String (low.id) + " " + low.ip + " " + juce::String (low.port) + " WIN");
    EXPECT_EQ ((int) second["ID"], high.id);
    EXPECT_EQ (second["OS"].toString(), "");
}

TEST_F (ServerConnections, JoiningLossRelayoutRemovalAndNewBackups)
{
    startServer();
    auto host = join ("192.168.77.2", 1920, 1080, "MAC", "TRUE");
    auto b = join ("192.168.77.3", 1440, 900);
    auto c = join ("192.168.77.4", 1280, 800, "MAC", "true");   // lower case: not the server
    auto d = join ("192.168.77.5", 1280, 800);
    EXPECT_EQ (b.toldOnJoining[0], "Backup server");   // the map held two machines
    EXPECT_FALSE (c.toldOnJoining.contains ("Backup server"));   // three

    for (auto* m : { &host, &b, &c, &d })
        m->tcp->drain();

    // The joining sequence is answered with one "machineInfo" per machine, in ID order.
    c.send ("Send monitors");
    std::vector<int> ids;

    for (int i = 0; i < 4; ++i)
        ids.push_back ((int) treeOf (c.tcp->readFrame (3000))["ID"]);

    std::set<int> const all { host.id, b.id, c.id, d.id };
    EXPECT_EQ (ids, std::vector<int> (all.begin(), all.end()));

    // The backup goes: first the new layout, then "Remove machine", then "Backup server"
    // to every connected machine that does not host the server.
    b.tcp->close();

    for (auto* m : { &c, &d })
    {
        auto const seen = m->tcp->readTextsUntil ("Backup server", 5000);
        ASSERT_GE (seen.size(), 3);
        EXPECT_TRUE (seen[0].startsWith ("Resize content component width: "));
        EXPECT_EQ (seen[seen.size() - 2] + " | " + seen[seen.size() - 1], b.removal() + " | Backup server");
    }

    EXPECT_TRUE (host.tcp->readTextsUntil (b.removal()).contains (b.removal()));
    EXPECT_TRUE (host.tcp->isSilentFor());

    // Those told "Backup server" on a loss are not marked so: their loss names nobody.
    c.tcp->close();

    for (auto* m : { &host, &d })
    {
        EXPECT_TRUE (m->tcp->readTextsUntil (c.removal()).contains (c.removal()));
        EXPECT_TRUE (m->tcp->isSilentFor());
    }
}

TEST_F (ServerConnections, BadInputAndUnpairedConnectionsLeaveItServing)
{
    startServer();
    auto host = join ("192.168.77.2");

    // A connection no accepted machine waits for is ignored, and its loss removes no machine.
    {
        auto stranger = WirePeer::Stream::connect (TestEnvironment::testAddress, 25477);
        ASSERT_NE (stranger, nullptr);
        stranger->setPumping (true);
        stranger->writeFrame (juce::String ("Current input ID: 5"));
        stranger->writeFrame (juce::String ("Send monitors"));
        EXPECT_TRUE (stranger->isSilentFor());
    }

    EXPECT_TRUE (host.tcp->isSilentFor());
    EXPECT_TRUE (log->mentions ("ignoring its messages"));

    auto silent = accept ("192.168.77.3");
    silent.connect();   // connects and never speaks
    auto bad = accept ("192.168.77.4");
    bad.connect();

    // Junk texts, trees it does not read, and hostile trees.
    std::string nested;   // nested far deeper than any reader allows
    for (int i = 0; i < 100000; ++i)
        nested += std::string ("t\0\0\x01\x01", 5);

    auto const bytes = [] (std::string const& s) { return juce::MemoryBlock (s.data(), s.size()); };
    for (auto const& payload : { bytes (""), bytes ("Send monitors "), bytes ("send monitors"), bytes ({ "\xff\xfe\0junk", 7 }),
                                 bytesOf (juce::ValueTree ("machineInfo")), bytes (nested),
                                 bytes ({ "changedMonitorInfo\0\0\x04\0\0\0\x7f", 25 }) })   // more children than bytes
        bad.tcp->writeFrame (payload);

    EXPECT_TRUE (bad.tcp->isSilentFor());

    // Clients that vanish in the middle of a header and of a payload.
    for (auto const& [ip, cut] : { std::pair { "192.168.77.5", 5 }, std::pair { "192.168.77.6", 200 } })
    {
        auto gone = accept (ip);
        gone.connect();
        gone.tcp->writeBytes (WirePeer::frame (juce::String::repeatedString ("x", 1000)).getData(), (size_t) cut);
    }

    // A frame with another magic number silences its connection: what follows is not read.
    auto wrongMagic = WirePeer::frame (juce::String ("Send monitors"));
    static_cast<char*> (wrongMagic.getData())[0] = 0x2d;
    bad.tcp->writeBytes (wrongMagic);
    bad.send ("Send monitors");
    EXPECT_FALSE (bad.tcp->readTextsUntil ("machineInfo", 1000).contains ("machineInfo"));

    host.tcp->drain();
    host.send ("Current input ID: " + juce::String (host.id));
    EXPECT_EQ (host.tcp->readText(), "Current input ID: " + juce::String (host.id));
}

TEST_F (ServerConnections, DestructionWithConnectedClientsAndAQueuedRemoval)
{
    // Built and destroyed off the message thread, as a backup that takes over does.
    std::thread ([this] { startServer(); }).join();
    auto a = join ("192.168.77.2"), b = join ("192.168.77.3"), c = join ("192.168.77.4");
    c.tcp->close();
    juce::Thread::sleep (300);   // its removal is posted, and not run: the loop is not pumped
    std::thread ([this] { destroyServer(); }).join();   // needs nothing of the message thread
    TestEnvironment::pump (200);   // the queued removal runs now and does nothing
    EXPECT_TRUE (a.tcp->waitForClose (2000));
    EXPECT_TRUE (b.tcp->waitForClose (2000));
    EXPECT_FALSE (log->mentions ("Server: removed"));

    // On the message thread too, with the removal of a lost machine queued.
    startServer();
    auto d = join ("192.168.77.5"), e = join ("192.168.77.6");
    e.tcp->close();
    juce::Thread::sleep (300);
    destroyServer();
    TestEnvironment::pump (200);
    EXPECT_TRUE (d.tcp->waitForClose (2000));
}

TEST_F (ServerConnections, APeerThatStopsReadingIsDroppedAndTheOthersStayServed)
{
    startServer();
    auto host = join ("192.168.77.2"), stalled = join ("192.168.77.3");
    host.tcp->drain();
    bool removed = false;

    for (int batch = 0; batch < 200 && ! removed; ++batch)
    {
        juce::MemoryOutputStream claims;

        for (int i = 0; i < 100; ++i)
            claims << WirePeer::frame ("Current input ID: " + juce::String (i % 2 == 0 ? host.id : stalled.id));

        host.tcp->writeBytes (claims.getData(), claims.getDataSize());

        while (auto payload = host.tcp->readFrame (batch < 40 ? 0 : 100))
            removed = removed || WirePeer::textOf (*payload) == stalled.removal();
    }

    EXPECT_TRUE (removed);
    EXPECT_TRUE (log->mentions ("cannot write to machine " + juce::String (stalled.id)));
}

TEST_F (ServerConnections, ConcurrentClaimsReachEveryoneInTheSameOrder)
{
    startServer();
    auto a = join ("192.168.77.2"), b = join ("192.168.77.3"), c = join ("192.168.77.4");

    for (auto* m : { &a, &b, &c })
        m->tcp->drain();

    auto claimer = [] (Peer* m)
    {
        for (int i = 0; i < 150; ++i)
            m->send ("Current input ID: " + juce::String (m->id * (i % 2 == 0 ? 1 : -1)));
    };
    std::thread ta (claimer, &a), tb (claimer, &b);
    ta.join();
    tb.join();

    auto const seenByC = c.tcp->readTexts (500);
    EXPECT_GE (seenByC.size(), 150);
    EXPECT_EQ (a.tcp->readTexts (500), seenByC);
    EXPECT_EQ (b.tcp->readTexts (500), seenByC);
}
