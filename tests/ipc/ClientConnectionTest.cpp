// The client's control connection over its life: joining, losing the server,
// searching again, taking over as backup, and going away.

#include "ipc/DiscoveryProtocol.h"
#include "ipc/Machine.h"
#include "app/SingletonApplicationProperties.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "ClientHarness.h"

#include <gmock/gmock.h>

#include <csignal>

using ::testing::ElementsAre;

namespace
{
struct RawServer
{
    WirePeer::Datagrams udp { DiscoveryProtocol::serverPort };
    WirePeer::Listener tcp { ControlProtocol::serverPort };
};

// Connects a client to the raw server directly and reads its joining messages.
std::unique_ptr<WirePeer::Stream> join (RecordingClient& client, RawServer& server)
{
    EXPECT_TRUE (client.connectToSocket (TestEnvironment::testAddress, ControlProtocol::serverPort, 1000));
    auto stream = server.tcp.accept();

    if (stream != nullptr)
        for (int i = 0; i < 5; ++i)
            readFramePumping (*stream);

    return stream;
}

// Answers the next discovery request with an acceptance and returns the
// client's new control connection, its joining messages read.
std::unique_ptr<WirePeer::Stream> acceptNextSearch (RawServer& server, std::vector<std::string>* joining = nullptr)
{
    auto request = server.udp.receive (5000);

    if (! request)
        return nullptr;

    server.udp.send (request->senderIP, request->senderPort,
                     DiscoveryProtocol::acceptance (computeMachineID (request->senderIP), request->senderPort, 9));

    auto stream = server.tcp.accept();

    if (stream != nullptr)
    {
        for (int i = 0; i < 5; ++i)
        {
            auto text = readTextFramePumping (*stream);

            if (joining != nullptr)
                joining->push_back (text.toStdString());
        }
    }

    return stream;
}

std::vector<std::string> namesAndThreads (RecordingClient const& client)
{
    std::vector<std::string> result;

    for (auto const& call : client.getCalls())
        result.push_back ((call.name + (call.onMessageThread ? " @message" : " @connection")).toStdString());

    return result;
}
} // namespace

TEST (ClientConnection, LossDuringStartUpLeavesTheSocketThreadAndSearchesAgain)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    RawServer server;
    RecordingClient client;
    client.clientID = 99;
    auto stream = join (client, server);
    ASSERT_NE (stream, nullptr);
    client.clearCalls();

    stream->close();
    ASSERT_TRUE (client.waitForCalls ("clearMachines"));
    EXPECT_THAT (namesAndThreads (client), ElementsAre ("stopListenerThread @connection", "clearMachines @message"));

    // The reconnect thread finds the server again and joins with the four
    // messages and "Send monitors".
    std::vector<std::string> joining;
    auto again = acceptNextSearch (server, &joining);
    ASSERT_NE (again, nullptr);
    auto const id = computeMachineID (TestEnvironment::testAddress);
    EXPECT_THAT (joining, ElementsAre (("Connected client: " + juce::String (id)).toStdString(), "Operating system: MAC", "Is server: FALSE",
                                       "newMonitorInfo", "Send monitors"));
    EXPECT_EQ (client.clientID.load(), id);
}

TEST (ClientConnection, LossWhenRunningStopsTheSocketThreadFirst)
{
    REQUIRE_PRIVATE_NETWORK();
    RawServer server;
    RecordingClient client;
    client.startingUp = false;
    auto stream = join (client, server);
    ASSERT_NE (stream, nullptr);
    client.clearCalls();

    stream->close();
    ASSERT_TRUE (client.waitForCalls ("clearMachines"));
    EXPECT_THAT (client.getCallTexts(), ElementsAre ("stopSocketThread true", "stopListenerThread", "clearMachines"));
    EXPECT_TRUE (server.udp.receive (5000).has_value());   // searching
}

TEST (ClientConnection, BackupTakesOverBeforeSearching)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    RawServer server;
    RecordingClient client;
    client.startingUp = false;
    auto stream = join (client, server);
    ASSERT_NE (stream, nullptr);

    ASSERT_TRUE (stream->writeFrame ("Backup server"));
    ASSERT_TRUE (RecordingClient::waitUntil ([&] { return client.isBackupServer.load(); }));
    client.clearCalls();

    stream->close();
    ASSERT_TRUE (client.waitForCalls ("tellMainComponentIAmServer"));
    ASSERT_TRUE (client.waitForCalls ("clearMachines"));

    // On the connection thread, in this order; clearMachines is posted.
    std::vector<std::string> direct;

    for (auto const& call : client.getCalls())
        if (! call.onMessageThread)
            direct.push_back (call.name.toStdString());

    EXPECT_THAT (direct, ElementsAre ("stopSocketThread", "stopListenerThread", "tellMainComponentIAmServer"));
    EXPECT_TRUE (client.getCalls ("clearMachines")[0].onMessageThread);
    EXPECT_FALSE (client.isBackupServer);
    EXPECT_TRUE (client.hostsServer());
}

TEST (ClientConnection, AServerGoneWhileTheClientAnswersCostsOnlyTheConnection)
{
    REQUIRE_PRIVATE_NETWORK();
    RawServer server;
    RecordingClient client;
    client.startingUp = false;
    auto stream = join (client, server);
    ASSERT_NE (stream, nullptr);

    // A write to a peer that has gone raises SIGPIPE, which would end the
    // process: a client ignores it, and the failed write costs the connection.
    struct sigaction current {};
    ASSERT_EQ (sigaction (SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ (current.sa_handler, SIG_IGN);

    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE (stream->writeFrame ("Send clipboard to ID: 1"));

    stream->close();

    for (int i = 0; i < 20 && client.getCalls ("clearMachines").empty(); ++i)
        client.requestClipboardFromTo (1, 2);

    ASSERT_TRUE (client.waitForCalls ("clearMachines"));
    EXPECT_GE (client.getCalls ("checkPasteboardForFiles").size(), 1u);
}

TEST (ClientConnection, GoingAwayWhileConnectedOnlyLogsTheLoss)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RawServer server;
    auto client = std::make_unique<RecordingClient>();
    auto stream = join (*client, server);
    ASSERT_NE (stream, nullptr);
    client->clearCalls();

    std::vector<RecordingClient::Call> calls;
    client->onCall = [&calls] (RecordingClient::Call const& call) { calls.push_back (call); };
    client.reset();
    pump (100);

    EXPECT_EQ (log.count ("ClientIPC: connection lost"), 1);
    EXPECT_TRUE (calls.empty());
    EXPECT_TRUE (stream->waitForClose (2000));
    EXPECT_FALSE (server.udp.receive (700).has_value());   // no search started
}

TEST (ClientConnection, GoingAwayEndsASearchInProgress)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RawServer server;
    auto client = std::make_unique<RecordingClient>();
    client->startingUp = false;
    auto stream = join (*client, server);
    ASSERT_NE (stream, nullptr);

    stream->close();
    ASSERT_TRUE (client->waitForCalls ("clearMachines"));

    // Let the search run a while unanswered, then go away mid-search.
    ASSERT_TRUE (server.udp.receive (5000).has_value());
    ASSERT_TRUE (server.udp.receive (5000).has_value());
    client.reset();

    while (server.udp.receive (100).has_value()) {}   // what was already on its way
    EXPECT_FALSE (server.udp.receive (1000).has_value());
}

TEST (ClientConnection, GoingAwayWhileWaitingForApprovalCancels)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    RawServer server;
    auto client = std::make_unique<RecordingClient>();
    client->startingUp = false;
    auto stream = join (*client, server);
    ASSERT_NE (stream, nullptr);

    stream->close();
    auto request = server.udp.receive (5000);
    ASSERT_TRUE (request.has_value());
    server.udp.send (request->senderIP, request->senderPort, DiscoveryProtocol::waitReply());
    ASSERT_TRUE (RecordingClient::waitUntil ([&] { return log.contains ("Received WAIT"); }));

    client.reset();

    auto cancel = server.udp.receive (2000);
    ASSERT_TRUE (cancel.has_value());
    EXPECT_EQ (cancel->text, "CANCEL: 192.168.77.1");
}
