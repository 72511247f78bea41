#include "support/ServerFixture.h"

#include <map>
#include <set>
#include <sys/socket.h>
#include <thread>

namespace
{
int countEntries (const char* folder)
{
    return juce::File (folder).getNumberOfChildFiles (juce::File::findFilesAndDirectories);
}

void shrinkReceiveBuffer (Peer& peer)
{
    int const size = 64 * 1024;
    setsockopt (peer.tcp->getSocket().getRawSocketHandle(), SOL_SOCKET, SO_RCVBUF, &size, sizeof (size));
}
} // namespace

struct ServerConnections : ServerFixture {};

TEST_F (ServerConnections, PairsByAddressElseInAscendingIDOrder)
{
    startServer();
    auto a = accept ("192.168.77.2"), b = accept ("192.168.77.3");
    auto& low = a.id < b.id ? a : b;
    auto& high = a.id < b.id ? b : a;

    // Both were accepted before either connected. The higher ID connects
    // first, from its own address: the connection is its own, and the lower
    // ID can still connect (paired by order alone, the higher ID's connection
    // would have taken the lower's place, locking the lower one out).
    high.connect();
    high.send ("Operating system: WIN");
    high.send ("Send monitors");   // answered only after the line before was taken in
    ASSERT_TRUE (high.tcp->readFrame (3000).has_value());

    // A connection from an address no accepted machine has goes, by order, to
    // the lower ID.
    auto other = WirePeer::Stream::connectFrom (TestEnvironment::testAddress, 25477);
    ASSERT_NE (other, nullptr);
    other->writeFrame (juce::String ("Operating system: MAC"));
    other->writeFrame (juce::String ("Send monitors"));

    std::map<int, juce::String> seen;

    for (int i = 0; i < 2; ++i)
    {
        auto info = treeOf (other->readFrame (3000));
        seen[(int) info["ID"]] = info["IP"].toString() + " " + info["OS"].toString();
    }

    EXPECT_EQ (seen[high.id], high.ip + " WIN");
    EXPECT_EQ (seen[low.id], low.ip + " MAC");
}

TEST_F (ServerConnections, JoiningLossRelayoutRemovalAndNewBackups)
{
    startServer();
    auto host = join ("192.168.77.2", 1920, 1080, "MAC", "TRUE");
    auto b = join ("192.168.77.3", 1440, 900);
    auto c = join ("192.168.77.4", 1280, 800, "MAC", "true");   // lower case: not the server
    EXPECT_EQ (b.toldOnJoining[0], "Backup server");   // the map held two machines
    EXPECT_FALSE (c.toldOnJoining.contains ("Backup server"));   // three, and a backup is named

    for (auto* m : { &host, &b, &c })
        m->tcp->drain();

    // The joining sequence is answered with one "machineInfo" per machine, in ID order.
    c.send ("Send monitors");
    std::vector<int> ids;

    for (int i = 0; i < 3; ++i)
        ids.push_back ((int) treeOf (c.tcp->readFrame (3000))["ID"]);

    std::set<int> const all { host.id, b.id, c.id };
    EXPECT_EQ (ids, std::vector<int> (all.begin(), all.end()));

    // The backup goes, two machines stay: first the new layout, then "Remove
    // machine", then "Backup server" to the one that does not host the server.
    b.tcp->close();
    auto const seen = c.tcp->readTextsUntil ("Backup server", 5000);
    ASSERT_GE (seen.size(), 3);
    EXPECT_TRUE (seen[0].startsWith ("Resize content component width: "));
    EXPECT_EQ (seen[seen.size() - 2] + " | " + seen[seen.size() - 1], b.removal() + " | Backup server");
    EXPECT_TRUE (host.tcp->readTextsUntil (b.removal()).contains (b.removal()));
    EXPECT_TRUE (host.tcp->isSilentFor());

    // One told "Backup server" on a loss is not marked so: its loss names nobody.
    auto d = join ("192.168.77.5");
    EXPECT_FALSE (d.toldOnJoining.contains ("Backup server"));
    c.tcp->close();

    for (auto* m : { &host, &d })
    {
        EXPECT_TRUE (m->tcp->readTextsUntil (c.removal()).contains (c.removal()));
        EXPECT_TRUE (m->tcp->isSilentFor());
    }
}

TEST_F (ServerConnections, ABackupIsNamedAlsoWhenTheThirdIsAcceptedBeforeTheSecondJoins)
{
    startServer();
    auto host = join ("192.168.77.2", 1920, 1080, "MAC", "TRUE");
    auto b = accept ("192.168.77.3"), c = accept ("192.168.77.4");
    finishJoining (b);
    finishJoining (c);
    EXPECT_TRUE (b.toldOnJoining.contains ("Backup server"));
    EXPECT_FALSE (c.toldOnJoining.contains ("Backup server"));
    EXPECT_FALSE (host.toldOnJoining.contains ("Backup server"));
}

// Connections that break off inside a header, send another magic number or
// stay idle, by the hundred: the server keeps a bounded number of them, lets
// go of the rest, and serves a machine that joins afterwards. A machine's own
// connection silenced by another magic number is lost: the machine is
// removed, and its next discovery request is accepted.
TEST_F (ServerConnections, FloodsOfBrokenAndIdleConnectionsStayBoundedAndAMachineStillJoins)
{
    startServer ({ 1000, 16, {} });
    TestEnvironment::pump (100);
    auto const descriptors = countEntries ("/proc/self/fd"), threads = countEntries ("/proc/self/task");
    auto const connect = [] { return WirePeer::Stream::connect (TestEnvironment::testAddress, 25477); };
    auto wrongMagic = WirePeer::frame (juce::String ("Send monitors"));
    static_cast<char*> (wrongMagic.getData())[0] = 0x2d;

    for (int i = 0; i < 100; ++i)
    {
        if (auto cut = connect())
            cut->writeBytes (wrongMagic.getData(), 5);

        if (auto wrong = connect())
            wrong->writeBytes (wrongMagic);
    }

    std::vector<std::unique_ptr<WirePeer::Stream>> idle;

    for (int i = 0; i < 100; ++i)
        idle.push_back (connect());

    // Each connection kept costs the server two descriptors and two threads.
    auto const bounded = [&] { return countEntries ("/proc/self/fd") - 100 <= descriptors + 36
                                        && countEntries ("/proc/self/task") <= threads + 36; };
    EXPECT_TRUE (TestEnvironment::waitUntil (bounded, 5000))
        << countEntries ("/proc/self/fd") - 100 - descriptors << " descriptors and "
        << countEntries ("/proc/self/task") - threads << " threads more";
    idle.clear();
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return countEntries ("/proc/self/fd") <= descriptors + 4; }, 10000))
        << "not released: " << countEntries ("/proc/self/fd") - descriptors << " descriptors";

    auto machine = join ("192.168.77.2");
    machine.send ("Current input ID: 7");
    EXPECT_EQ (machine.tcp->readText(), "Current input ID: 7");

    auto late = connect();   // idle too long
    ASSERT_NE (late, nullptr);
    EXPECT_TRUE (late->waitForClose (5000));

    auto other = join ("192.168.77.3");
    other.tcp->drain();
    machine.tcp->writeBytes (wrongMagic);
    EXPECT_TRUE (machine.tcp->waitForClose (5000));
    EXPECT_TRUE (other.tcp->readTextsUntil (machine.removal()).contains (machine.removal()));
    machine.ask ("DISCOVERY_REQUEST CLUSTERID: " + juce::String (clusterID));
    EXPECT_EQ (machine.udp->receiveText(), acceptance (machine));
    finishJoining (machine);
    other.tcp->drain();
    other.send ("Send monitors");
    std::set<int> const listed { (int) treeOf (other.tcp->readFrame())["ID"], (int) treeOf (other.tcp->readFrame())["ID"] };
    EXPECT_EQ (listed, (std::set<int> { machine.id, other.id }));
}

TEST_F (ServerConnections, HostilePayloadsLeaveItServing)
{
    startServer();
    auto host = join ("192.168.77.2"), bad = join ("192.168.77.3");
    host.tcp->drain();

    std::string nested;   // nested far deeper than any reader allows
    for (int i = 0; i < 100000; ++i)
        nested += std::string ("t\0\0\x01\x01", 5);

    for (auto const& payload : { std::string(), std::string ("\xff\xfe\0junk", 7), nested })
        bad.tcp->writeFrame (juce::MemoryBlock (payload.data(), payload.size()));

    bad.tcp->writeBytes (WirePeer::frame (juce::String::repeatedString ("x", 1000)).getData(), 200);   // then gone
    bad.tcp->close();
    EXPECT_TRUE (host.tcp->readTextsUntil (bad.removal()).contains (bad.removal()));
    host.send ("Current input ID: 5");
    EXPECT_EQ (host.tcp->readText(), "Current input ID: 5");
}

TEST_F (ServerConnections, DestructionWithConnectedClientsAndAQueuedRemoval)
{
    // Built and destroyed off the message thread, as a backup that takes over does.
    std::thread ([this] { startServer(); }).join();
    auto a = join ("192.168.77.2"), b = join ("192.168.77.3");
    b.tcp->close();
    juce::Thread::sleep (300);   // its removal is posted, and not run: the loop is not pumped
    std::thread ([this] { destroyServer(); }).join();   // needs nothing of the message thread
    TestEnvironment::pump (200);   // the queued removal runs now and does nothing
    EXPECT_TRUE (a.tcp->waitForClose (2000));
    EXPECT_FALSE (log->mentions ("Server: removed"));

    // On the message thread too.
    startServer();
    auto d = join ("192.168.77.5"), e = join ("192.168.77.6");
    e.tcp->close();
    juce::Thread::sleep (300);
    destroyServer();
    TestEnvironment::pump (200);
    EXPECT_TRUE (d.tcp->waitForClose (2000));
}

// A frame that takes seconds to a peer that reads slowly arrives whole; a peer
// that stops reading is closed and removed, and holds up nobody meanwhile.
TEST_F (ServerConnections, ASlowReaderGetsALargeFrameWholeAndOneThatStopsReadingIsDropped)
{
    IPCServer::Limits limits;
    limits.connection.stallTimeoutMs = 2000;   // not the half minute a peer really has
    startServer (limits);
    auto slow = join ("192.168.77.2"), sender = join ("192.168.77.3"), stalled = join ("192.168.77.4");

    for (auto* m : { &slow, &sender, &stalled })
    {
        m->tcp->drain();
        shrinkReceiveBuffer (*m);
    }

    auto const text = juce::String::repeatedString ("0123456789abcdef", 1 << 20);   // 16 MB
    auto const expected = WirePeer::frame ("Copy to clipboard: " + text);
    sender.send ("Route clipboard to ID: " + juce::String (slow.id) + " content: " + text);

    juce::MemoryOutputStream received;

    while (received.getDataSize() < expected.getSize())
    {
        auto chunk = slow.tcp->readBytes (juce::jmin<size_t> (64 * 1024, expected.getSize() - received.getDataSize()), 60000);

        if (! chunk)
            break;

        received << *chunk;
        juce::Thread::sleep (16);   // about 4 MB a second
    }

    EXPECT_TRUE (received.getMemoryBlock() == expected) << received.getDataSize() << " of " << expected.getSize() << " bytes";

    auto const claim = "Current input ID: " + juce::String (sender.id);
    sender.send ("Route clipboard to ID: " + juce::String (stalled.id) + " content: " + text);
    sender.send (claim);
    auto const seen = sender.tcp->readTextsUntil (stalled.removal(), 60000);
    EXPECT_EQ (seen.indexOf (claim), 0);
    EXPECT_TRUE (seen.contains (stalled.removal()));
    EXPECT_TRUE (log->mentions ("cannot write to machine " + juce::String (stalled.id)));
}

// A peer reading about 30 KB a second finds its window shut for seconds at a
// time: it is not dropped, however long a frame to it takes.
TEST_F (ServerConnections, APeerThatReadsThirtyKilobytesASecondIsNotDropped)
{
    startServer();
    auto slow = join ("192.168.77.2"), sender = join ("192.168.77.3");

    for (auto* m : { &slow, &sender })
        m->tcp->drain();

    auto const text = juce::String::repeatedString ("0123456789abcdef", 1 << 16);   // 1 MB: half a minute to read
    sender.send ("Route clipboard to ID: " + juce::String (slow.id) + " content: " + text);
    size_t received = 0;

    for (int i = 0; i < 60; ++i, juce::Thread::sleep (100))
        if (auto chunk = slow.tcp->readBytes (3000, 2000))
            received += chunk->getSize();

    EXPECT_GT (received, 0u);
    EXPECT_FALSE (log->mentions ("cannot write to machine " + juce::String (slow.id)));
    EXPECT_TRUE (sender.tcp->isSilentFor (100)) << "a machine was removed";
}

// A peer that reads on, but far slower than it is sent to, may have only so
// much waiting for it: beyond that it counts as stalled, is closed and removed.
TEST_F (ServerConnections, FramesWaitingForASlowReaderAreBounded)
{
    IPCServer::Limits limits;
    limits.connection.maxQueuedBytes = 1 << 20;
    startServer (limits);
    auto slow = join ("192.168.77.2"), sender = join ("192.168.77.3");

    for (auto* m : { &slow, &sender })
        m->tcp->drain();

    auto const text = juce::String::repeatedString ("0123456789abcdef", 1 << 17);   // 2 MB

    for (int i = 0; i < 4; ++i)
        sender.send ("Route clipboard to ID: " + juce::String (slow.id) + " content: " + text);

    auto const dropped = [&]
    {
        slow.tcp->readBytes (64 * 1024, 100);
        return log->mentions ("cannot write to machine " + juce::String (slow.id));
    };
    EXPECT_TRUE (TestEnvironment::waitUntil (dropped, 10000));
    EXPECT_TRUE (sender.tcp->readTextsUntil (slow.removal(), 5000).contains (slow.removal()));
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
