// Reading frames from peers that announce more than they send, stop inside a
// frame or speak another framing: on the server's control port, a machine's
// file-transfer port and the client's connection to its server.

#include "ipc/ClientFileTransfer.h"
#include "support/ClientHarness.h"
#include "support/LogCapture.h"
#include "support/ServerFixture.h"

#include <sys/socket.h>
#include <thread>

namespace
{
constexpr int transferPort = 47011;
constexpr int peerPort = 47012;

/** A frame header announcing 'length' bytes, followed by the bytes of 'start'. */
juce::MemoryBlock announcing (juce::uint32 length, juce::String const& start)
{
    auto bytes = WirePeer::frame (start);

    for (int i = 0; i < 4; ++i)
        static_cast<juce::uint8*> (bytes.getData())[4 + i] = (juce::uint8) (length >> (8 * i));

    return bytes;
}
} // namespace

struct ConnectionReading : ServerFixture {};

// Headers that announce far more than ever comes, to the control port and to a
// machine's file-transfer port: nothing is reserved ahead of the bytes, nothing
// cut short is handed over, and each connection, once closed inside its frame,
// counts as lost: its machine is removed and may join again, the transfer is
// released. A header text holding a zero byte is not answered.
TEST_F (ConnectionReading, HeadersAnnouncingMoreThanComesReserveNothingAndEndTheirConnections)
{
    startServer();
    auto host = join ("192.168.77.2"), cut = join ("192.168.77.3"), huge = join ("192.168.77.4");
    RecordingClient machine;
    machine.fileTransferServer = std::make_unique<ClientIPC::ClientFileTransferIPCServer> (transferPort, &machine);
    ASSERT_TRUE (machine.fileTransferServer->beginListening());
    auto transfer = WirePeer::Stream::connect (TestEnvironment::testAddress, transferPort);
    auto padded = WirePeer::Stream::connect (TestEnvironment::testAddress, transferPort);
    ASSERT_TRUE (transfer != nullptr && padded != nullptr);
    padded->setPumping (true);
    host.tcp->drain();

    auto const before = TestEnvironment::peakAddressSpace();
    auto const route = "Route clipboard to ID: " + juce::String (host.id) + " content: " + juce::String::repeatedString ("x", 1000);
    huge.tcp->writeBytes (announcing (0x7fffffff, "abcd"));
    transfer->writeBytes (announcing (0x7fffffff, "abcd"));
    cut.tcp->writeBytes (announcing (200u << 20, route));   // within the frame limit, and cut short below
    TestEnvironment::pump (500);                               // the readers take the headers in
    EXPECT_LT (TestEnvironment::peakAddressSpace() - before, (juce::int64) 1 << 30);

    cut.tcp->close();
    huge.tcp->close();
    transfer->close();
    juce::StringArray told;
    EXPECT_TRUE (TestEnvironment::waitUntil ([&]
    {
        told.addArray (host.tcp->readTexts (50));
        return told.contains (cut.removal()) && told.contains (huge.removal());
    }, 10000)) << told.joinIntoString ("; ");
    EXPECT_FALSE (told.joinIntoString ("; ").contains ("Copy to clipboard"));

    for (auto* lost : { &cut, &huge })
    {
        lost->ask ("DISCOVERY_REQUEST CLUSTERID: " + juce::String (clusterID));
        EXPECT_EQ (lost->udp->receiveText(), acceptance (*lost));
    }

    padded->writeFrame (juce::MemoryBlock ("Filename: a.zip\0\0 fromDrag: false", 33));
    EXPECT_FALSE (padded->readFrame (500).has_value());
    padded->close();
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return machine.fileTransferServer->getNumReceivers() == 0; }));
    EXPECT_EQ (machine.callTexts(), "");
}

// Lengths of 0 or less deliver nothing, and a frame beyond the limit is read
// through and dropped: the machine that sent them stays, and what it sends
// next is handled. A clipboard whose relay would be beyond the limit (each
// ill-formed byte grows to three) is never made.
TEST_F (ConnectionReading, EmptyNegativeAndOversizedFramesAreDroppedAndTheirMachineStays)
{
    IPCServer::Limits limits;
    limits.connection.maxFrameBytes = 1 << 20;
    startServer (limits);
    auto host = join ("192.168.77.2"), peer = join ("192.168.77.3");
    host.tcp->drain();

    for (auto length : { 0x80000000u, 0xffffffffu, 0u })
        peer.tcp->writeBytes (announcing (length, {}));

    auto const route = "Route clipboard to ID: " + juce::String (host.id) + " content: ";
    peer.send (route + juce::String::repeatedString ("x", 2 << 20));
    auto const illFormed = route.toStdString() + std::string (400 * 1024, '\xff');
    peer.tcp->writeFrame (juce::MemoryBlock (illFormed.data(), illFormed.size()));

    auto const claim = "Current input ID: " + juce::String (peer.id);
    peer.send (claim);
    EXPECT_EQ (host.tcp->readText (10000), claim);
    EXPECT_TRUE (log->mentions ("not relaying a clipboard of " + juce::String (19 + 3 * 400 * 1024) + " bytes")) << log->all();
    EXPECT_TRUE (host.tcp->isSilentFor());
}

// However its server's connection ends, the client drops what was cut short,
// counts the connection as lost and searches again: a text holding a zero byte
// (cut and padded by a reader on its way), then a frame cut short, a header
// cut short and a wrong magic number, each ending a connection.
TEST (ConnectionReadingClient, DropsWhatIsCutShortAndSearchesAgainWhenItsServerCannotBeRead)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    RawServer server;
    RecordingClient client;
    auto stream = server.join (client);
    ASSERT_NE (stream, nullptr);

    stream->writeFrame (juce::MemoryBlock ("Copy to clipboard: cut\0\0\0", 25));
    stream->writeFrame ("Current input ID: 5");
    ASSERT_TRUE (client.waitFor ("setCurrentInputID"));
    EXPECT_EQ (client.count ("copyTextToClipboard"), 0) << "a text cut short was pasted";

    auto const cutFrame = WirePeer::frame ("Copy to clipboard: " + juce::String::repeatedString ("x", 100000));
    auto wrongMagic = WirePeer::frame (juce::String ("Jump to middle"));
    static_cast<char*> (wrongMagic.getData())[0] = 0x2d;

    struct Ending { juce::MemoryBlock bytes; bool thenClose; };

    for (auto const& ending : { Ending { juce::MemoryBlock (cutFrame.getData(), 50000), true },
                                Ending { juce::MemoryBlock (cutFrame.getData(), 5), true },
                                Ending { wrongMagic, false } })
    {
        stream->writeBytes (ending.bytes);

        if (ending.thenClose)
            stream->close();

        stream = server.acceptNextSearch();
        ASSERT_NE (stream, nullptr) << "no search after " << ending.bytes.getSize() << " bytes";
    }

    EXPECT_EQ (client.count ("copyTextToClipboard"), 0);
    EXPECT_EQ (client.count ("jumpToMiddle"), 0);
}

namespace
{
/** A connection whose handling of a message lasts until the test lets it go. */
struct HeldConnection : FramedConnection
{
    HeldConnection() : FramedConnection (ControlProtocol::magicNumber) {}
    ~HeldConnection() override { disconnect (Notify::no); }

    void connectionMade() override {}
    void connectionLost() override {}

    void messageReceived (juce::MemoryBlock const&) override
    {
        handling.signal();
        release.wait (10000);
    }

    juce::WaitableEvent handling, release;
};
} // namespace

// A disconnect while a frame is being written to a peer that does not read
// ends the connection quietly: the writer, stopped first, does not take the
// end for a failed write, even while the disconnect waits for the reader.
TEST (ConnectionClosing, ADisconnectIsNotLoggedAsAFailedWrite)
{
    REQUIRE_PRIVATE_NETWORK();
    WirePeer::Listener listener (peerPort, TestEnvironment::testAddress);
    ASSERT_TRUE (listener.isListening());
    HeldConnection connection;
    ASSERT_TRUE (connection.connectToSocket (TestEnvironment::testAddress, peerPort, 2000));
    auto peer = listener.accept();
    ASSERT_NE (peer, nullptr);
    LogCapture log;

    juce::MemoryBlock large (8u << 20, true);
    ASSERT_TRUE (connection.sendMessage (large));   // far more than the socket takes: the writer holds it
    peer->writeFrame (juce::String ("Jump to middle"));
    ASSERT_TRUE (connection.handling.wait (5000));

    std::thread closing ([&] { connection.disconnect(); });
    juce::Thread::sleep (500);   // the writer would have found the socket shut down by now
    connection.release.signal();
    closing.join();

    EXPECT_FALSE (connection.isConnected());
    EXPECT_FALSE (log.mentions ("cannot write to")) << log.all();
}

// The clipboards a client is asked for while its server reads slowly: the one
// being written and the newest arrive whole, those between are dropped, and
// the connection stays; a text beyond the frame limit is not sent, and the
// log gives its size.
TEST (ConnectionWritingClient, OnlyTheNewestClipboardWaitsBehindTheOneBeingWritten)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    LogCapture log;
    RawServer server;
    RecordingClient client;
    FramedConnection::Limits limits;
    limits.maxQueuedBytes = 64 * 1024;
    limits.maxFrameBytes = 8u << 20;
    client.setLimits (limits);
    auto stream = server.join (client);
    ASSERT_NE (stream, nullptr);
    int const small = 64 * 1024;
    setsockopt (stream->getSocket().getRawSocketHandle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof (small));

    // Each request finds the next text on the clipboard; the last is too long.
    // The newest for machine 5 replaces its older one still waiting; the one
    // for machine 6 is that machine's own and stays.
    auto const filled = [] (char c, int megabytes) { return juce::String::repeatedString (juce::String::charToString (c), megabytes << 20); };
    std::vector<juce::String> const texts { filled ('a', 6), filled ('b', 6), filled ('c', 6), filled ('d', 6), filled ('x', 9) };
    std::vector<int> const targets { 5, 5, 6, 5, 5 };
    std::atomic<size_t> asked { 0 };
    client.onCall = [&] (RecordingClient::Call const& call)
    {
        if (call.text == "checkPasteboardForFiles")
            client.setClipboard (texts[juce::jmin (asked++, texts.size() - 1)]);
    };

    for (auto target : targets)
        stream->writeFrame ("Send clipboard to ID: " + juce::String (target));

    stream->writeFrame (juce::String ("Current input ID: 5"));
    ASSERT_TRUE (client.waitFor ("setCurrentInputID"));   // every request was handled

    for (auto [c, target] : { std::pair ('a', 5), std::pair ('c', 6), std::pair ('d', 5) })
    {
        auto const got = stream->readText (20000);
        EXPECT_TRUE (got == "Route clipboard to ID: " + juce::String (target) + " content: " + filled (c, 6))
            << c << ": " << got.substring (0, 40) << "... of " << got.length();
    }

    EXPECT_TRUE (stream->isSilentFor (500));
    EXPECT_TRUE (log.mentions ("not sending a text of " + juce::String (9 << 20) + " bytes")) << log.all();
    EXPECT_TRUE (client.isConnected());
}

namespace
{
/** A connection whose callbacks run on the message thread and that counts
    the losses it is told of. */
struct CountingConnection : FramedConnection
{
    CountingConnection() : FramedConnection (ControlProtocol::magicNumber, true) {}
    ~CountingConnection() override { disconnect (Notify::no); }

    void connectionMade() override {}
    void connectionLost() override { ++losses; }
    void messageReceived (juce::MemoryBlock const&) override { if (onMessage) onMessage(); }

    std::atomic<int> losses { 0 };
    std::function<void()> onMessage;
};
} // namespace

// Each connection made reports its loss once, whoever ends it: a disconnect
// that waits for a callback while another thread connects anew reports the
// loss of the connection it ended, and leaves the new one's; a disconnect
// after the reader posted its loss, before the message thread ran it,
// reports that loss.
TEST (ConnectionClosing, EachConnectionReportsItsLossOnce)
{
    REQUIRE_PRIVATE_NETWORK();
    WirePeer::Listener listener (peerPort, TestEnvironment::testAddress);
    ASSERT_TRUE (listener.isListening());
    CountingConnection connection;
    ASSERT_TRUE (connection.connectToSocket (TestEnvironment::testAddress, peerPort, 2000));
    auto first = listener.accept();
    ASSERT_NE (first, nullptr);

    std::thread ending;
    connection.onMessage = [&]   // on the message thread: the disconnect waits for it
    {
        ending = std::thread ([&] { connection.disconnect(); });
        juce::Thread::sleep (200);
        std::thread ([&] { connection.connectToSocket (TestEnvironment::testAddress, peerPort, 2000); }).join();
    };
    first->writeFrame (juce::String ("Jump to middle"));
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return ending.joinable(); }));
    ending.join();
    auto second = listener.accept();
    ASSERT_NE (second, nullptr);
    EXPECT_EQ (connection.losses.load(), 1);
    EXPECT_TRUE (connection.isConnected());

    second->close();

    for (int i = 0; i < 500 && connection.isConnected(); ++i)   // without running the message loop
        juce::Thread::sleep (10);

    juce::Thread::sleep (100);   // the loss is posted
    connection.disconnect();
    TestEnvironment::pump (200);
    EXPECT_EQ (connection.losses.load(), 2);
}
