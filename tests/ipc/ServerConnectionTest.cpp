#include "ServerPeers.h"

#include "ipc/Machine.h"

#include <set>
#include <thread>

using namespace ServerPeers;

namespace
{
std::string removeText (Joined const& m)
{
    return "Remove machine IP: " + m.ip.toStdString() + " port: " + std::to_string (m.port) + " ID: " + std::to_string (m.id);
}

juce::int64 millisecondsToDestroy (std::unique_ptr<IPCServer>& server)
{
    auto const start = juce::Time::currentTimeMillis();
    server.reset();
    return juce::Time::currentTimeMillis() - start;
}
} // namespace

struct ServerConnections : ServerFixture {};

TEST_F (ServerConnections, PairsInAscendingIDOrderAndAnswersSendMonitorsInIDOrder)
{
    startServer();
    auto a = accept ("192.168.77.2");
    auto b = accept ("192.168.77.3");
    auto& low = a.id < b.id ? a : b;
    auto& high = a.id < b.id ? b : a;

    // The first connection, opened by the machine with the higher ID, belongs to the lower ID.
    FramePeer first (high.ip);
    first.send ("Operating system: WIN");
    first.send ("Send monitors");
    auto t1 = treeOf (first.receive().value_or (""));
    auto t2 = treeOf (first.receive().value_or (""));
    EXPECT_EQ ((int) t1["ID"], low.id);
    EXPECT_EQ (t1["OS"].toString(), "WIN");
    EXPECT_EQ ((int) t2["ID"], high.id);
    EXPECT_EQ (t2["OS"].toString(), "");

    // The tree as peers read it: properties in order and type, the record's area as child 0.
    ASSERT_EQ (t1.getNumProperties(), 4);
    EXPECT_EQ (t1.getPropertyName (0).toString() + t1.getPropertyName (1).toString()
                 + t1.getPropertyName (2).toString() + t1.getPropertyName (3).toString(), "IPportOSID");
    EXPECT_TRUE (t1["IP"].isString() && t1["port"].isInt() && t1["ID"].isInt());
    EXPECT_EQ (t1["IP"].toString(), low.ip);
    EXPECT_EQ ((int) t1["port"], low.port);
    ASSERT_EQ (t1.getNumChildren(), 1);
    EXPECT_EQ (t1.getChild (0).getType().toString(), "totalArea");
}

TEST_F (ServerConnections, JoiningLossRelayoutRemovalAndNewBackups)
{
    startServer();
    auto host = join ("192.168.77.2", 1920, 1080, "MAC", true);
    auto b = accept ("192.168.77.3");
    b.tcp = std::make_unique<FramePeer> (b.ip);
    b.tcp->send ("Connected client: " + juce::String (b.id));
    EXPECT_EQ (b.tcp->receive().value_or (""), "Backup server");   // the map holds two machines
    b.tcp->send ("Is server: FALSE");
    b.tcp->send (monitorTree (true, 1440, 900));

    auto c = join ("192.168.77.4", 1280, 800, "MAC", false);   // three machines: no "Backup server"
    c.tcp->send ("Is server: true");                             // lower case: not the server
    drain ({ &host, &b, &c });

    // The joining sequence is answered with one "machineInfo" per machine, in ID order.
    c.tcp->send ("Send monitors");
    std::vector<int> ids;
    for (int i = 0; i < 3; ++i)
        ids.push_back ((int) treeOf (c.tcp->receive().value_or (""))["ID"]);
    EXPECT_TRUE (std::is_sorted (ids.begin(), ids.end()));
    EXPECT_EQ (std::set<int> (ids.begin(), ids.end()), (std::set<int> { host.id, b.id, c.id }));

    // The backup goes: first the new layout, then "Remove machine", then new backups
    // for every connected machine that does not host the server.
    b.tcp->close();
    auto seen = c.tcp->receiveUntil ("Backup server", 5000);
    ASSERT_GE (seen.size(), 4u);
    EXPECT_EQ (juce::String (seen[0]).upToFirstOccurrenceOf (" width", false, false), "Resize content component");
    EXPECT_EQ (seen[seen.size() - 2], removeText (b));
    EXPECT_EQ (seen.back(), "Backup server");
    EXPECT_EQ (host.tcp->receiveUntil (removeText (b)).back(), removeText (b));
    EXPECT_TRUE (host.tcp->silentFor());

    // A machine that was told "Backup server" on a loss is not marked: its loss names nobody.
    c.tcp->close();
    EXPECT_EQ (host.tcp->receiveUntil (removeText (c)).back(), removeText (c));
    EXPECT_TRUE (host.tcp->silentFor());
}

TEST_F (ServerConnections, UnpairedConnectionsAreIgnoredAndCleanedUp)
{
    startServer();
    auto host = join ("192.168.77.2");

    {
        FramePeer stranger;
        stranger.send ("Current input ID: 5");
        stranger.send ("Send monitors");
        EXPECT_TRUE (stranger.silentFor());
        EXPECT_TRUE (host.tcp->silentFor (50));
    }

    pump (300);
    EXPECT_TRUE (log->mentions ("ignoring its messages"));
    EXPECT_TRUE (host.tcp->silentFor());   // its loss removes no machine
    host.tcp->send ("Current input ID: 5");
    EXPECT_EQ (host.tcp->receive().value_or (""), "Current input ID: 5");
}

TEST_F (ServerConnections, BadInputOnControlConnectionsLeavesItServing)
{
    startServer();
    auto host = join ("192.168.77.2");
    auto silent = accept ("192.168.77.3");
    silent.tcp = std::make_unique<FramePeer> (silent.ip);   // connects and never speaks
    auto bad = accept ("192.168.77.4");
    bad.tcp = std::make_unique<FramePeer> (bad.ip);

    bad.tcp->sendRaw (frame (""));
    bad.tcp->send ("Send monitors ");
    bad.tcp->send ("send monitors");
    bad.tcp->sendRaw (frame (std::string ("\xff\xfe\x00junk", 7)));
    bad.tcp->send (juce::ValueTree ("machineInfo"));
    std::string nested;   // a hostile tree: nested far deeper than any reader allows
    for (int i = 0; i < 100000; ++i)
        nested += std::string ("t\0\0\x01\x01", 5);
    bad.tcp->sendRaw (frame (nested));
    static char const hugeCount[] = "changedMonitorInfo\0\0\x04\x00\x00\x00\x7f";   // more children than bytes
    bad.tcp->sendRaw (frame (std::string (hugeCount, sizeof (hugeCount) - 1)));
    EXPECT_TRUE (bad.tcp->silentFor());

    // Clients that vanish in the middle of a header and of a payload.
    for (auto const& [ip, cut] : { std::pair { "192.168.77.5", frame ("Send monitors").substr (0, 5) },
                                   std::pair { "192.168.77.6", frame (std::string (1000, 'x')).substr (0, 200) } })
    {
        auto gone = accept (ip);
        FramePeer peer (gone.ip);
        peer.sendRaw (cut);
    }

    // A frame with another magic number silences its connection: what follows is not read.
    bad.tcp->sendRaw (std::string ("\x2d\x9e\xb4\xf2\x0d\x00\x00\x00", 8) + "Send monitors");
    bad.tcp->send ("Send monitors");

    while (auto payload = bad.tcp->receive (500))
        EXPECT_NE (payload->rfind ("machineInfo", 0), 0u);

    drain ({ &host });
    host.tcp->send ("Current input ID: " + juce::String (host.id));
    EXPECT_EQ (host.tcp->receive().value_or (""), "Current input ID: " + std::to_string (host.id));
    EXPECT_LT (millisecondsToDestroy (server), 5000);
}

TEST_F (ServerConnections, DestructionWithConnectedClientsAndAQueuedRemoval)
{
    // Built and destroyed off the message thread, as a backup that takes over does.
    std::thread ([this] { startServer(); }).join();
    auto a = join ("192.168.77.2");
    auto b = join ("192.168.77.3");
    auto c = join ("192.168.77.4");

    c.tcp->close();
    juce::Thread::sleep (300);   // its removal is posted, and not run: the loop is not pumped

    std::thread ([this] { destroyServer(); }).join();   // needs nothing of the message thread
    pump (200);   // the queued removal runs now and does nothing
    EXPECT_TRUE (a.tcp->closedWithin (2000));
    EXPECT_TRUE (b.tcp->closedWithin (2000));
    EXPECT_FALSE (log->mentions ("Server: removed"));

    // On the message thread too, with the removal of a lost machine queued.
    startServer();
    auto d = join ("192.168.77.5");
    auto e = join ("192.168.77.6");
    e.tcp->close();
    juce::Thread::sleep (300);
    EXPECT_LT (millisecondsToDestroy (server), 5000);
    pump (200);
    EXPECT_TRUE (d.tcp->closedWithin (2000));
}

TEST_F (ServerConnections, APeerThatStopsReadingIsDroppedAndTheOthersStayServed)
{
    startServer();
    auto host = join ("192.168.77.2");
    auto stalled = join ("192.168.77.3");
    drain ({ &host });

    bool removed = false;

    for (int batch = 0; batch < 200 && ! removed; ++batch)
    {
        std::string claims;
        for (int i = 0; i < 100; ++i)
            claims += frame ("Current input ID: " + std::to_string (i % 2 == 0 ? host.id : stalled.id));
        host.tcp->sendRaw (claims);

        while (auto payload = host.tcp->receive (batch < 40 ? 0 : 100))
            removed = removed || *payload == removeText (stalled);
    }

    EXPECT_TRUE (removed);
    EXPECT_TRUE (log->mentions ("cannot write to machine " + juce::String (stalled.id)));
}

TEST_F (ServerConnections, ConcurrentClaimsReachEveryoneInTheSameOrder)
{
    startServer();
    auto a = join ("192.168.77.2");
    auto b = join ("192.168.77.3");
    auto c = join ("192.168.77.4");
    drain ({ &a, &b, &c });

    auto claimer = [] (Joined* m)
    {
        for (int i = 0; i < 150; ++i)
            m->tcp->send ("Current input ID: " + juce::String (m->id * (i % 2 == 0 ? 1 : -1)));
    };
    std::thread ta (claimer, &a), tb (claimer, &b);
    ta.join();
    tb.join();

    auto sequence = [] (Joined& m)
    {
        std::vector<std::string> seen;
        while (auto payload = m.tcp->receive (500))
            seen.push_back (*payload);
        return seen;
    };
    auto seenByC = sequence (c);
    EXPECT_GE (seenByC.size(), 150u);
    EXPECT_EQ (sequence (a), seenByC);
    EXPECT_EQ (sequence (b), seenByC);
}
