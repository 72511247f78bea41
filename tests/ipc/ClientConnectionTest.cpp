// The client's control connection over its life: losing the server while
// starting up, when running and as the backup, searching and rejoining,
// sending from several threads, and going away.

#include "core/SingletonApplicationProperties.h"
#include "support/LogCapture.h"
#include "support/ClientHarness.h"

#include <csignal>
#include <sys/socket.h>
#include <thread>

TEST (ClientConnection, ALostServerIsSearchedForAgainOrReplacedByTheBackup)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    RawServer server;
    RecordingClient client;
    client.clientID = 99;
    auto stream = server.join (client);
    ASSERT_NE (stream, nullptr);

    // Writing to a server that has gone must cost the connection, not the process.
    struct sigaction current {};
    ASSERT_EQ (sigaction (SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ (current.sa_handler, SIG_IGN);

    // Starting up, the socket thread does not run yet.
    client.clearCalls();
    stream->close();
    ASSERT_TRUE (client.waitFor ("clearMachines"));
    EXPECT_EQ (client.callTexts (true), "stopListenerThread; clearMachines @message");

    // The reconnect thread finds the server and joins again, with the ID of the acceptance.
    stream = server.acceptNextSearch();
    ASSERT_NE (stream, nullptr);
    auto const id = juce::String (computeMachineID (TestEnvironment::testAddress));
    EXPECT_EQ (server.joiningTexts(), "Connected client: " + id + "; Operating system: MAC; Is server: FALSE; newMonitorInfo; Send monitors");
    EXPECT_EQ (juce::String (client.clientID.load()), id);

    // Running, the socket thread is stopped first.
    client.startingUp = false;
    client.clearCalls();
    while (server.udp.receive (50)) {}   // requests the first search sent before our answer
    stream->close();
    ASSERT_TRUE (client.waitFor ("clearMachines"));
    EXPECT_EQ (client.callTexts (true), "stopSocketThread true; stopListenerThread; clearMachines @message");
    stream = server.acceptNextSearch();
    ASSERT_NE (stream, nullptr);

    // The backup searches briefly; when no server answers, it creates its own
    // server, and says so when it joins.
    ASSERT_TRUE (stream->writeFrame ("Backup server"));
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return client.isBackupServer.load(); }));
    client.clearCalls();
    while (server.udp.receive (50)) {}
    stream->close();
    ASSERT_TRUE (server.udp.receive (2000).has_value()) << "no brief search";
    ASSERT_TRUE (client.waitFor ("tellMainComponentIAmServer"));
    ASSERT_TRUE (client.waitFor ("clearMachines"));
    auto calls = client.callTexts (true);
    EXPECT_EQ (calls.replace ("; clearMachines @message", ""), "stopSocketThread true; stopListenerThread; tellMainComponentIAmServer");
    EXPECT_FALSE (client.isBackupServer);
    EXPECT_TRUE (client.hostsServer());

    stream = server.acceptNextSearch();
    ASSERT_NE (stream, nullptr);
    EXPECT_EQ (server.joining[2], "Is server: TRUE");
}

// An acceptance whose control connection cannot be made does not end the
// search: the machine searches on until the server also listens.
TEST (ClientConnection, AnAcceptanceWithoutAConnectionDoesNotEndTheSearch)
{
    REQUIRE_PRIVATE_NETWORK();
    RawServer server;
    RecordingClient client;
    auto stream = server.join (client);
    ASSERT_NE (stream, nullptr);

    server.tcp.reset();
    stream->close();
    EXPECT_EQ (server.acceptNextSearch (9, 10000, false), nullptr);
    EXPECT_TRUE (server.udp.receive (5000).has_value()) << "the search ended";

    server.tcp = std::make_unique<WirePeer::Listener> (ControlProtocol::serverPort);
    EXPECT_NE (server.acceptNextSearch(), nullptr);
}

// A large answer written on the reading thread while another thread sends
// requests: every frame arrives whole, in step.
TEST (ClientConnection, FramesSentFromSeveralThreadsAtOnceArriveWhole)
{
    REQUIRE_PRIVATE_NETWORK();
    RawServer server;
    RecordingClient client;
    auto stream = server.join (client);
    ASSERT_NE (stream, nullptr);

    int const small = 64 * 1024;
    setsockopt (stream->getSocket().getRawSocketHandle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof (small));
    auto const text = juce::String::repeatedString ("0123456789abcdef", 1 << 19);   // 8 MB
    client.setClipboard (text);

    // Requests go out all the while the answer is written.
    std::atomic<bool> asking { true };
    std::atomic<int> asked { 0 };
    std::thread asker ([&]
    {
        for (; asking; ++asked, juce::Thread::sleep (1))
            client.requestClipboardFromTo (1, 2);
    });

    ASSERT_TRUE (stream->writeFrame ("Send clipboard to ID: 7"));
    juce::Thread::sleep (300);   // the answer fills the buffers meanwhile

    auto const route = "Route clipboard to ID: 7 content: " + text;
    int requests = 0, routed = 0;
    auto const readUntil = [&] (std::function<bool()> done)
    {
        while (! done())
        {
            auto const payload = stream->readFrame (5000);

            if (! payload)
                return;

            auto const received = WirePeer::textOf (*payload);
            requests += received == "Send clipboard from ID1: 1 to ID2: 2" ? 1 : 0;
            routed += received == route ? 1 : 0;
        }
    };

    readUntil ([&] { return routed > 0; });
    asking = false;
    asker.join();
    readUntil ([&] { return requests >= asked; });
    EXPECT_EQ (routed, 1);
    EXPECT_EQ (requests, asked.load());
}

// Going away while connected only logs the loss; it ends a search in progress,
// and a wait for approval with "CANCEL: " and the bound address.
TEST (ClientConnection, GoingAwayEndsTheSearchAndCancelsAWait)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RawServer server;
    auto client = std::make_unique<RecordingClient>();
    auto stream = server.join (*client);
    ASSERT_NE (stream, nullptr);

    std::atomic<int> calls { 0 };
    client->onCall = [&calls] (RecordingClient::Call const&) { ++calls; };
    client.reset();
    TestEnvironment::pump (100);
    EXPECT_EQ (log.count ("ClientIPC: connection lost"), 1);
    EXPECT_EQ (calls.load(), 0);
    EXPECT_TRUE (stream->waitForClose (2000));
    EXPECT_FALSE (server.udp.receive (700).has_value());   // no search started

    // Waiting for approval in a search, it sends "CANCEL: " and searches no more.
    client = std::make_unique<RecordingClient>();
    stream = server.join (*client);
    ASSERT_NE (stream, nullptr);
    stream->close();

    auto request = server.udp.receive (5000);
    ASSERT_TRUE (request.has_value());
    server.udp.send (request->senderIP, request->senderPort, DiscoveryProtocol::waitReply());
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return log.contains ("Received WAIT"); }));
    client.reset();

    EXPECT_EQ (server.udp.receive (2000).value_or (WirePeer::Datagrams::Received()).text, "CANCEL: 192.168.77.1");
    EXPECT_FALSE (server.udp.receive (1000).has_value());
}
