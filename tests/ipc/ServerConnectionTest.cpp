#include "support/ServerFixture.h"

#include <deque>
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

/** How many connections wait in the accept queue of the control port's listener. */
int connectionsNotTakenIn()
{
    juce::StringArray lines;
    lines.addLines (juce::File ("/proc/net/tcp").loadFileAsString());

    for (auto const& line : lines)
    {
        auto fields = juce::StringArray::fromTokens (line, false);

        // "sl local_address rem_address st tx_queue:rx_queue ...": a listener
        // (state 0A) counts its queued connections as rx_queue.
        if (fields.size() > 4 && fields[1].endsWithIgnoreCase (":637D") && fields[3] == "0A")
            return fields[4].fromFirstOccurrenceOf (":", false, false).getHexValue32();
    }

    return 0;
}

/** A frame whose magic number is not the system's. */
juce::MemoryBlock wrongMagic()
{
    auto frame = WirePeer::frame (juce::String ("Send monitors"));
    static_cast<char*> (frame.getData())[0] = 0x2d;
    return frame;
}
} // namespace

struct ServerConnections : ServerFixture
{
    /** Joins, asking again when the connection is closed or not answered, as
        the client searches again; false after five tries. */
    bool joinAskingAgain (Peer& peer, bool askFirst = true)
    {
        for (int attempt = 0; attempt < 5; ++attempt)
        {
            if (askFirst || attempt > 0)
            {
                peer.ask ("DISCOVERY_REQUEST CLUSTERID: " + juce::String (clusterID));

                if (peer.udp->receiveText() != acceptance (peer))
                    continue;
            }

            peer.tcp = WirePeer::Stream::connectFrom (peer.ip, 25477);

            if (peer.tcp != nullptr)
            {
                peer.tcp->setPumping (true);

                if (tryJoining (peer))
                    return true;
            }
        }

        return false;
    }
};

// A connection is the accepted machine whose address it comes from, else the
// waiting one whose ID it sends in "Connected client: ", else nobody: strays
// (a port scan, a probe) take no machine's place.
TEST_F (ServerConnections, PairsByAddressElseByTheIDItSends)
{
    startServer();
    auto a = accept ("192.168.77.2"), b = accept ("192.168.77.3");
    auto const stray = [] { return WirePeer::Stream::connectFrom (TestEnvironment::testAddress, 25477); };

    // Before either connects: a silent stray, one with another magic number,
    // and one naming a machine nobody accepted.
    auto silent = stray(), wrong = stray(), unknown = stray();
    ASSERT_TRUE (silent != nullptr && wrong != nullptr && unknown != nullptr);
    wrong->writeBytes (wrongMagic());
    unknown->writeFrame ("Connected client: " + juce::String (computeMachineID ("192.168.77.99")));
    unknown->writeFrame (juce::String ("Send monitors"));
    EXPECT_TRUE (unknown->isSilentFor (500));

    b.connect();
    b.send ("Operating system: WIN");
    b.send ("Send monitors");   // answered only after the line before was taken in
    ASSERT_TRUE (b.tcp->readFrame (3000).has_value());

    // From an address no accepted machine has, naming a, it is a.
    auto other = stray();
    ASSERT_NE (other, nullptr);
    other->writeFrame ("Connected client: " + juce::String (a.id));
    other->writeFrame (juce::String ("Operating system: MAC"));
    other->writeFrame (juce::String ("Send monitors"));

    EXPECT_EQ (other->readText(), "Backup server");   // it said "Connected client: " while two were known
    std::map<int, juce::String> seen;

    for (int i = 0; i < 2; ++i)
    {
        auto info = treeOf (other->readFrame (3000));
        seen[(int) info["ID"]] = info["IP"].toString() + " " + info["OS"].toString();
    }

    EXPECT_EQ (seen[b.id], b.ip + " WIN");
    EXPECT_EQ (seen[a.id], a.ip + " MAC");
}

// The machines an address joined by the IDs they sent count towards its share
// of connections: naming machine after machine, it holds no more than that.
TEST_F (ServerConnections, MachinesJoinedByTheIDTheySendAreBoundedPerAddress)
{
    startServer();
    Peer const source ("192.168.77.50");
    std::vector<Peer> named;   // connected all through
    int joined = 0;

    for (int i = 30; i < 36; ++i)
    {
        auto& peer = named.emplace_back (accept ("192.168.77." + juce::String (i)));
        peer.tcp = WirePeer::Stream::connectFrom (source.ip, 25477);
        joined += peer.tcp != nullptr && tryJoining (peer) ? 1 : 0;
    }

    EXPECT_EQ (joined, IPCServer::Limits().maxUnpairedPerAddress);
}

// An accepted machine that does not connect in time is forgotten as if it had
// left, and only so many wait at once: the one waiting longest makes room.
TEST_F (ServerConnections, MachinesThatNeverConnectAreForgottenAndFewWaitAtOnce)
{
    IPCServer::Limits limits;
    limits.maxWaitingMachines = 3;
    startServer (limits);
    auto host = join ("192.168.77.2");
    Peer other ("192.168.77.3");
    std::vector<Peer> silent;

    for (int i = 10; i < 13; ++i)
        silent.emplace_back ("192.168.77." + juce::String (i));

    auto const ask = [this] (Peer& peer)
    {
        peer.ask ("DISCOVERY_REQUEST CLUSTERID: " + juce::String (clusterID));
        EXPECT_EQ (peer.udp->receiveText(), acceptance (peer));
    };

    for (auto& peer : silent)
        ask (peer);

    // A machine that joins meanwhile pushes out the one waiting longest, and
    // is laid out with the host alone.
    ask (other);
    finishJoining (other);
    EXPECT_FALSE (settings().getValue ("LAYOUTS").contains ("192.168.77.1")) << settings().getValue ("LAYOUTS");
    host.tcp->drain();

    host.send ("Send monitors");
    std::set<int> listed;

    for (int i = 0; i < 4; ++i)
        listed.insert ((int) treeOf (host.tcp->readFrame (3000))["ID"]);

    EXPECT_EQ (listed, (std::set<int> { host.id, other.id, silent[1].id, silent[2].id }));

    // Those the host heard of are removed from it once their time is up.
    juce::StringArray seen;
    TestEnvironment::waitUntil ([&] { seen.addArray (host.tcp->readTexts (100)); return seen.size() >= 2; }, 10000);
    seen.sort (false);
    juce::StringArray removals { silent[1].removal(), silent[2].removal() };
    removals.sort (false);
    EXPECT_EQ (seen.joinIntoString ("\n"), removals.joinIntoString ("\n"));

    // Connecting late, it is nobody; asking again, it joins.
    silent[1].connect();
    silent[1].send ("Send monitors");
    EXPECT_TRUE (silent[1].tcp->isSilentFor (500));
    ask (silent[1]);
    finishJoining (silent[1]);
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

// Named also when the third is accepted before the second joins, and again so
// once every machine told "Backup server" has gone.
TEST_F (ServerConnections, ABackupIsNamedAlsoWhenTheThirdIsAcceptedBeforeTheSecondJoinsAndAgainOnceItIsGone)
{
    startServer();
    auto host = join ("192.168.77.2", 1920, 1080, "MAC", "TRUE");
    auto b = accept ("192.168.77.3"), c = accept ("192.168.77.4");
    finishJoining (b);
    finishJoining (c);
    EXPECT_TRUE (b.toldOnJoining.contains ("Backup server"));
    EXPECT_FALSE (c.toldOnJoining.contains ("Backup server"));
    EXPECT_FALSE (host.toldOnJoining.contains ("Backup server"));

    b.tcp->close();
    EXPECT_TRUE (c.tcp->readTextsUntil ("Backup server").contains ("Backup server"));
    c.tcp->close();
    EXPECT_TRUE (host.tcp->readTextsUntil (c.removal()).contains (c.removal()));

    auto d = accept ("192.168.77.5"), e = accept ("192.168.77.6");
    finishJoining (d);
    finishJoining (e);
    EXPECT_TRUE (d.toldOnJoining.contains ("Backup server"));
    EXPECT_FALSE (e.toldOnJoining.contains ("Backup server"));
}

// Connections that break off inside a header, send another magic number or
// stay idle, from several addresses, while machines join and an accepted one
// waits: every machine joins (asking again when its connection was closed, as
// the client does), the server keeps a bounded number of the others and lets
// go of them once they stop. A machine's own connection silenced by another
// magic number is lost: the machine is removed, and it joins again.
TEST_F (ServerConnections, FloodsOfBrokenAndIdleConnectionsStayBoundedWhileMachinesJoin)
{
    IPCServer::Limits limits;
    limits.unpairedTimeoutMs = 1000;
    limits.maxUnpaired = 8;
    limits.maxUnpairedPerAddress = 2;
    limits.joinTimeoutMs = 60000;   // the waiting one waits all through the flood
    startServer (limits);

    std::vector<Peer> sources;

    for (int i = 60; i < 66; ++i)
        sources.emplace_back ("192.168.77." + juce::String (i));

    auto waiting = accept ("192.168.77.9");
    TestEnvironment::pump (100);
    auto const descriptors = countEntries ("/proc/self/fd"), threads = countEntries ("/proc/self/task");

    std::atomic<bool> flooding { true };
    std::atomic<int> mostThreads { 0 }, rounds { 0 };
    std::thread flood ([&]
    {
        auto const bad = wrongMagic();
        std::deque<std::unique_ptr<WirePeer::Stream>> idle;

        for (size_t round = 0; flooding; rounds = (int) ++round)
        {
            auto const& from = sources[round % sources.size()].ip;

            // As fast as the server takes them in, however slow the build.
            while (flooding && connectionsNotTakenIn() > 8)
                juce::Thread::sleep (1);

            if (auto cut = WirePeer::Stream::connectFrom (from, 25477))
                cut->writeBytes (bad.getData(), 5);

            if (auto wrong = WirePeer::Stream::connectFrom (from, 25477))
                wrong->writeBytes (bad);

            idle.push_back (WirePeer::Stream::connectFrom (from, 25477));

            if (idle.size() > 30)
                idle.pop_front();

            mostThreads = std::max (mostThreads.load(), countEntries ("/proc/self/task"));
        }
    });

    // Each joins after a few more rounds of the flood.
    auto const floodFor = [&] (int more) { auto const until = rounds + more; return TestEnvironment::waitUntil ([&] { return rounds >= until; }, 60000); };
    EXPECT_TRUE (floodFor (100));
    std::vector<Peer> machines;

    for (int i = 20; i < 26; ++i)
    {
        machines.emplace_back ("192.168.77." + juce::String (i));
        EXPECT_TRUE (joinAskingAgain (machines.back())) << machines.back().ip;
        floodFor (20);
    }

    EXPECT_TRUE (joinAskingAgain (waiting, false));
    flooding = false;
    flood.join();

    // Each connection costs the server two threads: those of the machines,
    // and at most twice maxUnpaired without a machine.
    EXPECT_LE (mostThreads.load(), threads + 2 * (7 + 2 * limits.maxUnpaired) + 2) << "from " << threads;

    // Every machine is served.
    machines.front().send ("Current input ID: 7");

    for (auto* m : { &machines.front(), &machines.back(), &waiting })
        EXPECT_TRUE (m->tcp->readTextsUntil ("Current input ID: 7").contains ("Current input ID: 7")) << m->ip;

    auto late = WirePeer::Stream::connect (TestEnvironment::testAddress, 25477);   // idle too long
    ASSERT_NE (late, nullptr);
    EXPECT_TRUE (late->waitForClose (5000));
    late.reset();

    auto& silenced = machines.front();
    machines.back().tcp->drain();
    silenced.tcp->writeBytes (wrongMagic());
    EXPECT_TRUE (silenced.tcp->waitForClose (5000));
    EXPECT_TRUE (machines.back().tcp->readTextsUntil (silenced.removal()).contains (silenced.removal()));
    EXPECT_TRUE (joinAskingAgain (silenced));

    // The machines leave: the server lets go of everything.
    for (auto& peer : machines)
        peer.tcp->close();

    waiting.tcp->close();
    auto const settled = [&] { return countEntries ("/proc/self/fd") <= descriptors + (int) machines.size() + 2
                                        && countEntries ("/proc/self/task") <= threads + 1; };
    EXPECT_TRUE (TestEnvironment::waitUntil (settled, 10000))
        << countEntries ("/proc/self/fd") - descriptors << " descriptors and "
        << countEntries ("/proc/self/task") - threads << " threads more";
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

// A peer that reads on, however slowly, is never dropped for what waits for
// it: of the clipboards routed to it meanwhile it gets the one being written
// and the newest, whole. Other frames wait only up to a bound that no real
// use reaches: a flood of them to a peer that takes nothing ends it.
TEST_F (ServerConnections, AReaderGetsTheNewestClipboardAndOnlyAFloodBeyondTheBoundEndsOneThatTakesNothing)
{
    IPCServer::Limits limits;
    limits.connection.maxQueuedBytes = 64 * 1024;
    startServer (limits);
    auto slow = join ("192.168.77.2"), sender = join ("192.168.77.3"), stalled = join ("192.168.77.4");

    for (auto* m : { &slow, &sender, &stalled })
    {
        m->tcp->drain();
        shrinkReceiveBuffer (*m);
    }

    auto const text = [] (char c) { return juce::String::repeatedString (juce::String::charToString (c), 6 << 20); };
    auto const route = [&] (Peer const& to, char c) { sender.send ("Route clipboard to ID: " + juce::String (to.id) + " content: " + text (c)); };

    for (auto c : { 'a', 'b', 'c', 'd' })
        route (slow, c);

    for (auto width : { 800, 1024 })   // the sender's desktop changes, and again
        sender.send (monitorTree (false, width, 600));

    auto const claim = "Current input ID: " + juce::String (sender.id);
    sender.send (claim);
    ASSERT_TRUE (sender.tcp->readTextsUntil (claim, 20000).contains (claim));   // all of it was taken in

    for (auto c : { 'a', 'd' })
    {
        auto const got = slow.tcp->readText (20000);
        EXPECT_TRUE (got == "Copy to clipboard: " + text (c)) << c << ": " << got.substring (0, 30) << "... of " << got.length();
    }

    std::vector<int> desktops;
    juce::String last;

    while (last != claim)
    {
        auto const payload = slow.tcp->readFrame();
        ASSERT_TRUE (payload.has_value()) << "no " << claim;
        last = WirePeer::textOf (*payload);

        if (last == "changedMonitorInfo")
            desktops.push_back ((int) treeOf (payload).getChild (0)["width"]);
    }

    EXPECT_EQ (desktops, std::vector<int> { 1024 });
    EXPECT_TRUE (slow.tcp->isSilentFor());

    // Claims flip to and fro behind a clipboard that the stalled peer never takes.
    route (stalled, 'e');

    for (int i = 0; i < 500; ++i)
        sender.send ("Current input ID: " + juce::String (i % 2 == 0 ? slow.id : sender.id));

    EXPECT_TRUE (sender.tcp->readTextsUntil (stalled.removal(), 20000).contains (stalled.removal()));
    EXPECT_TRUE (log->mentions ("cannot write to machine " + juce::String (stalled.id) + " (")) << log->all();
    EXPECT_FALSE (log->mentions ("cannot write to machine " + juce::String (slow.id)));
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
