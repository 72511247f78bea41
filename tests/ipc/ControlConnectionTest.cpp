// The control connection's framing on real sockets: JUCE's connections built
// with the system's magic number on one side, raw sockets writing and reading
// bytes on the other.

#include "ipc/ControlProtocol.h"
#include "ipc/MyQuillsteadIPC.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

#include <vector>

namespace
{
constexpr int waitMs = 5000;

class RecordingConnection : public juce::InterprocessConnection
{
public:
    RecordingConnection() : juce::InterprocessConnection (false, ControlProtocol::magicNumber) {}
    ~RecordingConnection() override { disconnect(); }

    void connectionMade() override {}
    void connectionLost() override { lost.signal(); }

    void messageReceived (juce::MemoryBlock const& message) override
    {
        {
            const juce::ScopedLock sl (lock);
            texts.add (ControlProtocol::readText (message));
            sizes.push_back (message.getSize());
            trees.push_back (ControlProtocol::readTree (message));
        }
        arrived.signal();
    }

    juce::StringArray getTexts() const
    {
        const juce::ScopedLock sl (lock);
        return texts;
    }

    bool waitForMessages (int count)
    {
        auto deadline = juce::Time::getMillisecondCounter() + waitMs;

        while (getTexts().size() < count)
            if (juce::Time::getMillisecondCounter() > deadline || ! arrived.wait (100))
                if (juce::Time::getMillisecondCounter() > deadline)
                    return false;

        return true;
    }

    juce::CriticalSection lock;
    juce::StringArray texts;
    std::vector<size_t> sizes;
    std::vector<juce::ValueTree> trees;
    juce::WaitableEvent arrived, lost { true };
};

class RecordingServer : public juce::InterprocessConnectionServer
{
public:
    ~RecordingServer() override { stop(); }

    juce::InterprocessConnection* createConnectionObject() override
    {
        auto* connection = new RecordingConnection();
        const juce::ScopedLock sl (lock);
        connections.add (connection);
        accepted.signal();
        return connection;
    }

    RecordingConnection* waitForConnection()
    {
        if (! accepted.wait (waitMs))
            return nullptr;

        const juce::ScopedLock sl (lock);
        return connections.getLast();
    }

    juce::CriticalSection lock;
    juce::OwnedArray<RecordingConnection> connections;
    juce::WaitableEvent accepted;
};

void writeWord (std::vector<juce::uint8>& out, juce::uint32 word)
{
    for (int i = 0; i < 4; ++i)
        out.push_back ((juce::uint8) (word >> (8 * i)));
}

std::vector<juce::uint8> frame (juce::String const& text, juce::uint32 magic = ControlProtocol::magicNumber)
{
    std::vector<juce::uint8> out;
    writeWord (out, magic);
    writeWord (out, (juce::uint32) text.getNumBytesAsUTF8());
    out.insert (out.end(), text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8());
    return out;
}

bool writeAll (juce::StreamingSocket& socket, std::vector<juce::uint8> const& bytes)
{
    return socket.write (bytes.data(), (int) bytes.size()) == (int) bytes.size();
}

// A server on a free loopback port and a raw peer connected to it.
struct RawPeerFixture : public ::testing::Test
{
    void SetUp() override
    {
        REQUIRE_PRIVATE_NETWORK();
        ASSERT_TRUE (server.beginWaitingForSocket (0, "127.0.0.1"));
        ASSERT_TRUE (peer.connect ("127.0.0.1", server.getBoundPort(), waitMs));
        connection = server.waitForConnection();
        ASSERT_NE (connection, nullptr);
    }

    void TearDown() override { peer.close(); }

    RecordingServer server;
    juce::StreamingSocket peer;
    RecordingConnection* connection = nullptr;
};
} // namespace

TEST_F (RawPeerFixture, ZeroLengthFrameIsSkippedAndTheNextOneRead)
{
    auto bytes = frame ("");
    auto second = frame ("Send monitors");
    bytes.insert (bytes.end(), second.begin(), second.end());
    ASSERT_TRUE (writeAll (peer, bytes));

    ASSERT_TRUE (connection->waitForMessages (1));
    EXPECT_EQ (connection->getTexts(), juce::StringArray ("Send monitors"));
    EXPECT_EQ (connection->sizes.front(), 13u);

    // A tree frame, and a payload of junk bytes, arrive whole.
    juce::ValueTree tree ("newMonitorInfo");
    addMonitorInfo (juce::RectangleList<int> ({ 0, 0, 1920, 1080 }), { 0, 0, 1920, 1080 }, tree);
    auto payload = ControlProtocol::treePayload (tree);
    std::vector<juce::uint8> treeFrame;
    writeWord (treeFrame, ControlProtocol::magicNumber);
    writeWord (treeFrame, (juce::uint32) payload.getSize());
    treeFrame.insert (treeFrame.end(), (juce::uint8 const*) payload.getData(),
                      (juce::uint8 const*) payload.getData() + payload.getSize());
    std::vector<juce::uint8> junk { 0xff, 0xc3, 0, 0x80, 'x' };
    std::vector<juce::uint8> junkFrame;
    writeWord (junkFrame, ControlProtocol::magicNumber);
    writeWord (junkFrame, (juce::uint32) junk.size());
    junkFrame.insert (junkFrame.end(), junk.begin(), junk.end());
    treeFrame.insert (treeFrame.end(), junkFrame.begin(), junkFrame.end());
    ASSERT_TRUE (writeAll (peer, treeFrame));

    ASSERT_TRUE (connection->waitForMessages (3));
    const juce::ScopedLock sl (connection->lock);
    EXPECT_EQ (connection->texts[1], "newMonitorInfo");
    EXPECT_TRUE (connection->trees[1].isEquivalentTo (tree));
    EXPECT_EQ (connection->sizes[2], junk.size());
}

TEST_F (RawPeerFixture, WrongMagicSilencesTheConnectionWithoutALossReport)
{
    auto bytes = frame ("Send monitors", 0xF2B49E2D);
    auto good = frame ("Send monitors");
    bytes.insert (bytes.end(), good.begin(), good.end());
    ASSERT_TRUE (writeAll (peer, bytes));

    EXPECT_FALSE (connection->arrived.wait (500));
    ASSERT_TRUE (writeAll (peer, good));
    peer.close();
    EXPECT_FALSE (connection->lost.wait (500));
    EXPECT_TRUE (connection->getTexts().isEmpty());
}

TEST_F (RawPeerFixture, PeerClosingMidHeaderEndsReadingWithoutALossReport)
{
    auto good = frame ("Is server: TRUE");
    ASSERT_TRUE (writeAll (peer, good));
    ASSERT_TRUE (connection->waitForMessages (1));

    auto partial = frame ("Send monitors");
    partial.resize (5);
    ASSERT_TRUE (writeAll (peer, partial));
    peer.close();

    EXPECT_FALSE (connection->lost.wait (500));
    EXPECT_EQ (connection->getTexts(), juce::StringArray ("Is server: TRUE"));
}

TEST_F (RawPeerFixture, PeerClosingBetweenFramesIsReportedAsLost)
{
    ASSERT_TRUE (writeAll (peer, frame ("Send monitors")));
    ASSERT_TRUE (connection->waitForMessages (1));
    peer.close();
    EXPECT_TRUE (connection->lost.wait (waitMs));
}

TEST_F (RawPeerFixture, HugeAnnouncedLengthThenCloseNeitherCrashesNorHangs)
{
    std::vector<juce::uint8> bytes;
    writeWord (bytes, ControlProtocol::magicNumber);
    writeWord (bytes, 0x7fffffffu);
    bytes.insert (bytes.end(), { 'S', 'e', 'n', 'd' });
    ASSERT_TRUE (writeAll (peer, bytes));
    peer.close();

    // JUCE hands over what arrived (padded with zeros) and then notices the
    // closed socket; either way the reader stays well and the process lives.
    EXPECT_TRUE (connection->lost.wait (waitMs * 4));
    for (auto& text : connection->getTexts())
        EXPECT_TRUE (text.isEmpty() || text == "Send") << text;
}

TEST (ControlConnection, SenderWritesOneExactFramePerMessage)
{
    REQUIRE_PRIVATE_NETWORK();

    juce::StreamingSocket listener;
    ASSERT_TRUE (listener.createListener (0, "127.0.0.1"));

    RecordingConnection client;
    ASSERT_TRUE (client.connectToSocket ("127.0.0.1", listener.getBoundPort(), waitMs));
    std::unique_ptr<juce::StreamingSocket> peer (listener.waitForNextConnection());
    ASSERT_NE (peer, nullptr);

    ASSERT_TRUE (ControlProtocol::sendText (client, "Send monitors"));
    ASSERT_TRUE (ControlProtocol::sendText (client, ""));
    ASSERT_TRUE (ControlProtocol::sendText (client, juce::String::fromUTF8 ("Copy to clipboard: \xe2\x82\xac")));

    std::vector<juce::uint8> expected = frame ("Send monitors");
    auto empty = frame ("");
    auto euro = frame (juce::String::fromUTF8 ("Copy to clipboard: \xe2\x82\xac"));
    expected.insert (expected.end(), empty.begin(), empty.end());
    expected.insert (expected.end(), euro.begin(), euro.end());
    ASSERT_EQ (euro.size(), 8u + 22u);

    std::vector<juce::uint8> received (expected.size());
    ASSERT_EQ (peer->read (received.data(), (int) received.size(), true), (int) received.size());
    EXPECT_EQ (received, expected);
    EXPECT_EQ (received[0], 0x2c);
    EXPECT_EQ (received[3], 0xf2);

    // A message to a closed connection is lost without notice.
    client.disconnect();
    EXPECT_FALSE (ControlProtocol::sendText (client, "Send monitors"));
}
