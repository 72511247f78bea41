// The SocketThread on real UDP sockets in the test's namespace: the sending
// loop's order and move collapsing, the queue dropped on every change of mode
// or target, and a sender and a receiver talking to each other.

#include "input/EventDatagram.h"
#include "input/SocketThread.h"
#include "platform/memory/MemoryInputPlatform.h"
#include "support/FakeInputHost.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

#include <condition_variable>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using ::testing::ElementsAre;

namespace
{
using Event = SocketThread::EventPlusData;

/** A host whose streaming line can hold the sending loop right after it sent
    an event, so the test can fill the queue behind it. The gate also opens
    when the thread is asked to exit. */
class GatedHost : public FakeInputHost
{
public:
    void watch (juce::Thread& t)     { const std::lock_guard<std::mutex> l (gateLock); thread = &t; }
    void closeGate()                 { const std::lock_guard<std::mutex> l (gateLock); closed = true; }
    void openGate()                  { { const std::lock_guard<std::mutex> l (gateLock); closed = false; } changed.notify_all(); }

    bool waitUntilHeld()
    {
        std::unique_lock<std::mutex> l (gateLock);
        return changed.wait_for (l, std::chrono::seconds (5), [this] { return held; });
    }

    void showStreamingDebugText (juce::String const& line) override
    {
        FakeInputHost::showStreamingDebugText (line);
        std::unique_lock<std::mutex> l (gateLock);
        held = closed;
        changed.notify_all();

        while (closed && ! (thread != nullptr && thread->threadShouldExit()))
            changed.wait_for (l, std::chrono::milliseconds (1));

        held = false;
    }

private:
    std::mutex gateLock;
    std::condition_variable changed;
    juce::Thread* thread = nullptr;
    bool closed = false, held = false;
};

/** The texts of the event datagrams that arrive on a port. */
struct DatagramReader
{
    explicit DatagramReader (int port) { EXPECT_TRUE (socket.bindToPort (port, "127.0.0.1")); }

    std::optional<juce::String> next (int timeoutMs = 5000)
    {
        if (socket.waitUntilReady (true, timeoutMs) != 1)
            return std::nullopt;

        char buffer[512];
        auto const n = socket.read (buffer, (int) sizeof (buffer), false);
        return datagram.decode (buffer, (size_t) juce::jmax (0, n));
    }

    juce::DatagramSocket socket;
    EventDatagram datagram { "DriftLanternK7q" };
};

std::function<void (Event&)> move (juce::uint32 type, double x, double y)
{
    return [=] (Event& e) { e.type = type; e.x = x; e.y = y; };
}

std::function<void (Event&)> keyDown (juce::uint16 code)
{
    return [=] (Event& e) { e.type = 8; e.keyCode = code; e.text = "k" + juce::String (code); };
}

constexpr int receiverPort = 25490, otherReceiverPort = 25491, ownPort = 25492;
} // namespace

TEST (SocketThread, SendsInQueueOrderAndCollapsesMovesBehindAnOldestMove)
{
    REQUIRE_PRIVATE_NETWORK();
    GatedHost host;
    MemoryInputPlatform platform;
    SocketThread thread (host, platform);
    host.watch (thread);
    DatagramReader reader (receiverPort);

    EXPECT_FALSE (thread.queueEvent (keyDown (1)));   // not sending yet
    host.closeGate();
    thread.setSending ("127.0.0.1", receiverPort, "MAC", ownPort);
    EXPECT_EQ (thread.getMode(), SocketThread::Sending);
    EXPECT_TRUE (thread.targetIsSameSystem());

    ASSERT_TRUE (thread.queueEvent (keyDown (1)));
    ASSERT_TRUE (host.waitUntilHeld());

    // [move A, key, move B, drag, move C] behind the held event: A and B go, the drag stays.
    for (auto const& stage : { move (0, 1, 1), keyDown (2), move (0, 2, 2), move (1, 3, 3), move (0, 4, 4.5) })
        thread.queueEvent (stage);

    thread.queueEvent ([] (Event& e) { e.type = 7; e.wheelDelta = -3; });   // the flags last staged
    thread.sendKeyUp (36, 0x20100);
    host.openGate();

    std::vector<juce::String> texts;
    while (auto text = reader.next (texts.size() < 6 ? 5000 : 200))
        texts.push_back (*text);

    EXPECT_THAT (texts, ElementsAre ("CGKey down: 1 flags: 256", "CGKey down: 2 flags: 256", "Drag mouse to: 3_3 flags: 256",
                                     "Move mouse to: 4_4.5 flags: 256", "Mouse wheel: -3 flags: 256",
                                     "CGKey up: 36 flags: 131328"));
    EXPECT_EQ (host.getStreamingLines().size(), 6);

    // To another system keys travel by name.
    thread.setSending ("127.0.0.1", receiverPort, "WIN", ownPort);
    EXPECT_FALSE (thread.targetIsSameSystem());
    thread.sendKeyUp (36, 0x100);
    EXPECT_EQ (reader.next(), "Key up: Return");
}

TEST (SocketThread, EveryChangeOfModeOrTargetDropsWhatIsQueued)
{
    REQUIRE_PRIVATE_NETWORK();
    GatedHost host;
    MemoryInputPlatform platform;
    SocketThread thread (host, platform);
    host.watch (thread);
    DatagramReader first (receiverPort), second (otherReceiverPort);

    host.closeGate();
    thread.setSending ("127.0.0.1", receiverPort, "MAC", ownPort);
    thread.queueEvent (keyDown (1));
    ASSERT_TRUE (host.waitUntilHeld());
    thread.queueEvent (keyDown (2));
    thread.queueEvent (keyDown (3));

    thread.setSending ("127.0.0.1", otherReceiverPort, "MAC", ownPort);   // opens the gate while stopping
    host.openGate();
    EXPECT_EQ (thread.getTargetPort(), otherReceiverPort);
    thread.queueEvent (keyDown (4));

    EXPECT_EQ (second.next(), "CGKey down: 4 flags: 256");
    EXPECT_EQ (first.next(), "CGKey down: 1 flags: 256");
    EXPECT_EQ (first.next (200), std::nullopt);
    EXPECT_EQ (second.next (200), std::nullopt);

    // Idle: nothing is queued any more, with or without a running thread, and the view hears of it each time.
    thread.setIdle();
    EXPECT_EQ (thread.getMode(), SocketThread::Idle);
    EXPECT_FALSE (thread.isThreadRunning());
    EXPECT_FALSE (thread.queueEvent (keyDown (5)));
    thread.setIdle();
    EXPECT_EQ (host.getIdleCount(), 2);
}

TEST (SocketThread, AReceiverReplaysWhatASenderSends)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    GatedHost senderHost;
    FakeInputHost receiverHost;
    MemoryInputPlatform senderPlatform, receiverPlatform;
    SocketThread sender (senderHost, senderPlatform), receiver (receiverHost, receiverPlatform);
    senderHost.watch (sender);
    receiverHost.setOwnArea (juce::Rectangle<int> (1920, 0, 1920, 1080));

    // Either of two machines may drive it; the first to send does.
    receiver.setReceiving ("MAC", receiverPort, { { TestEnvironment::testAddress, 40000 }, { "127.0.0.1", ownPort } });
    EXPECT_EQ (receiver.getMode(), SocketThread::Receiving);
    EXPECT_EQ (receiver.getReadingPort(), receiverPort);
    EXPECT_EQ (receiver.getSendingOS(), "MAC");
    EXPECT_EQ (receiverPlatform.getUserActivityNames(), juce::StringArray ("KVMWakeup"));
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return log.count ("Start SocketThread with bound port: 25490") == 1; }));

    // The move waits for nothing (a position that rests is sent again).
    senderHost.closeGate();
    sender.setSending ("127.0.0.1", receiverPort, "MAC", ownPort);
    sender.queueEvent (move (0, 2020, 200));
    ASSERT_TRUE (senderHost.waitUntilHeld());
    sender.queueEvent ([] (Event& e) { e.type = 2; e.clickState = 1; e.flags = 0x100; });
    sender.queueEvent ([] (Event& e) { e.type = 8; e.keyCode = 0; e.flags = 0x20100; });
    senderHost.openGate();

    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return receiverPlatform.getPostedEvents().size() >= 3; }));
    EXPECT_THAT (receiverPlatform.getPostedEvents(),
                 ElementsAre (InputEvent::mouseMove ({ 100, 200 }), InputEvent::mouseButton (0, true, {}, 0x100, 0),
                              InputEvent::key (0, true, 0x20100)));
    EXPECT_EQ (receiverHost.getShownVirtualCursor(), juce::Point<double> (2020, 200));
    EXPECT_EQ (receiver.getSenderIP(), "127.0.0.1");
    EXPECT_EQ (receiver.getSenderPort(), ownPort);

    // From then on the other address is nobody's: its events are not replayed
    // and do not change the sender. A plain datagram that is no event is only shown.
    juce::DatagramSocket other, plain;
    ASSERT_TRUE (other.bindToPort (0, TestEnvironment::testAddress));
    auto const junk = EventDatagram ("DriftLanternK7q").encrypt ("Move mouse to: 2500_300 flags: 256");
    other.write ("127.0.0.1", receiverPort, junk.getData(), (int) junk.getSize());
    plain.write ("127.0.0.1", receiverPort, "Hello", 5);
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return receiverHost.getStreamingLines().contains ("Hello"); }));
    EXPECT_EQ (receiverPlatform.getPostedEvents().size(), 3u);
    EXPECT_EQ (receiver.getSenderIP() + ":" + juce::String (receiver.getSenderPort()), "127.0.0.1:" + juce::String (ownPort));
    EXPECT_TRUE (receiverHost.getStreamingLines().contains ("Left mouse down flags: 256"));

    sender.setIdle();
    receiver.setIdle();
    EXPECT_FALSE (receiver.isThreadRunning());
}

// A receiver held up while a burst of drags (never collapsed) arrives drops
// what its socket cannot hold, the burst's last position among it. That
// position still arrives: the sender repeats it once the pointer rests.
TEST (SocketThread, TheLastPositionArrivesAlsoWhenTheReceiverDroppedIt)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    GatedHost senderHost, receiverHost;
    MemoryInputPlatform senderPlatform, receiverPlatform;
    SocketThread sender (senderHost, senderPlatform), receiver (receiverHost, receiverPlatform);
    senderHost.watch (sender);
    receiverHost.watch (receiver);
    receiverHost.setOwnArea (juce::Rectangle<int> (0, 0, 1920, 1080));

    receiver.setReceiving ("MAC", receiverPort, { { "127.0.0.1", ownPort } });
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return log.count ("Start SocketThread with bound port: 25490") == 1; }));
    sender.setSending ("127.0.0.1", receiverPort, "MAC", ownPort);
    receiverHost.closeGate();
    sender.queueEvent (move (1, 0, 100));
    ASSERT_TRUE (receiverHost.waitUntilHeld());

    constexpr int burst = 5000;

    for (int i = 1; i <= burst; ++i)
        sender.queueEvent (move (1, i % 1000, 100));

    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return senderHost.getStreamingLines().size() == burst + 1; }));
    senderHost.closeGate();
    sender.queueEvent (move (0, 1500, 700));
    ASSERT_TRUE (senderHost.waitUntilHeld());

    receiverHost.openGate();
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return receiverHost.getDebugText() == "Nothing to read in receive mode"; }));
    auto const last = InputEvent::mouseMove ({ 1500, 700 });
    ASSERT_NE (receiverPlatform.getPostedEvents().back(), last) << "the receiver's socket held the whole burst";

    senderHost.openGate();
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return receiverPlatform.getPostedEvents().back() == last; }, 3000));
    sender.setIdle();
    receiver.setIdle();
}

// A driver with two addresses announced one (192.168.77.1) while its
// datagrams leave from the other, from its own port: it drives, and keeps
// the address it announced (its removal must still end receiving). Another
// member sending from the same port number never drives.
TEST (SocketThread, ADriverDrivesFromASecondAddressAndNoOtherMemberTakesItsPlace)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    FakeInputHost host;
    MemoryInputPlatform platform;
    SocketThread receiver (host, platform);
    receiver.setReceiving ("MAC", receiverPort, { { TestEnvironment::testAddress, ownPort } }, { "127.0.0.2" });
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return log.count ("Start SocketThread with bound port: 25490") == 1; }));

    juce::DatagramSocket driver, member;
    ASSERT_TRUE (driver.bindToPort (ownPort, "127.0.0.1") && member.bindToPort (ownPort, "127.0.0.2"));
    auto const key = EventDatagram ("DriftLanternK7q").encrypt ("CGKey down: 1 flags: 256");

    for (auto* from : { &driver, &member, &driver })
        from->write ("127.0.0.1", receiverPort, key.getData(), (int) key.getSize());

    driver.write ("127.0.0.1", receiverPort, "Hello", 5);
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return host.getStreamingLines().contains ("Hello"); }));
    EXPECT_EQ (platform.getPostedEvents().size(), 2u);
    EXPECT_TRUE (receiver.mayBeDrivenBy (TestEnvironment::testAddress, ownPort));
    EXPECT_FALSE (receiver.mayBeDrivenBy ("127.0.0.1", ownPort));
    receiver.setIdle();
}

TEST (SocketThread, KeysAndButtonsHeldByTheReplayAreReleasedWhenReceivingEndsOrIsTakenOver)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    FakeInputHost host;
    MemoryInputPlatform platform;
    SocketThread receiver (host, platform);
    juce::DatagramSocket peer;
    EventDatagram datagram ("DriftLanternK7q");

    auto send = [&] (int port, const char* text)
    {
        auto const bytes = datagram.encrypt (text);
        peer.write ("127.0.0.1", port, bytes.getData(), (int) bytes.getSize());
    };

    auto sendAndWait = [&] (int port, const char* text)
    {
        auto const posts = platform.getPostedEvents().size();
        send (port, text);
        return TestEnvironment::waitUntil ([&] { return platform.getPostedEvents().size() > posts; });
    };

    // Taken over: another sender starts while a key and a button are down.
    receiver.setReceiving ("WIN", receiverPort, { { "127.0.0.1", 0 } });
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return log.count ("Start SocketThread with bound port: 25490") == 1; }));
    send (receiverPort, "Key down: Shift");   // a flag only: no post
    ASSERT_TRUE (sendAndWait (receiverPort, "Key down: a"));
    ASSERT_TRUE (sendAndWait (receiverPort, "Left mouse down flags: 256 numClicks: 1"));
    EXPECT_EQ (platform.getPostedEvents().front(), InputEvent::key (0, true, 0x20100));
    EXPECT_FALSE (platform.getHeldInput().buttons.empty());

    receiver.setReceiving ("WIN", otherReceiverPort, { { "127.0.0.1", 0 } });
    EXPECT_TRUE (platform.getHeldInput().isEmpty());
    EXPECT_EQ (platform.getReleaseCount(), 1);

    // The Shift that arrived by name is forgotten too.
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return log.count ("Start SocketThread with bound port: 25491") == 1; }));
    ASSERT_TRUE (sendAndWait (otherReceiverPort, "Key down: a"));
    EXPECT_EQ (platform.getPostedEvents().back(), InputEvent::key (0, true, 0x100));

    // Receiving ends.
    receiver.setIdle();
    EXPECT_TRUE (platform.getHeldInput().isEmpty());
    EXPECT_EQ (platform.getReleaseCount(), 2);

    // Nothing to release after sending.
    receiver.setSending ("127.0.0.1", receiverPort, "MAC", ownPort);
    receiver.setIdle();
    EXPECT_EQ (platform.getReleaseCount(), 2);
}

TEST (SocketThread, AModeChangeEndsTheReceiveWaitAtOnce)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    FakeInputHost host;
    MemoryInputPlatform platform;
    SocketThread receiver (host, platform);

    // The caller holds the control lock, which the event tap waits for: each
    // stop must not sit out the receive wait (100 ms; 2 s over twenty stops).
    juce::int64 stoppingMs = 0;

    for (int i = 1; i <= 20; ++i)
    {
        receiver.setReceiving ("MAC", receiverPort, {});
        ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return log.count ("Start SocketThread with bound port: 25490") == i; }));
        auto const before = juce::Time::currentTimeMillis();
        receiver.setIdle();
        stoppingMs += juce::Time::currentTimeMillis() - before;
        EXPECT_FALSE (receiver.isThreadRunning());
    }

    EXPECT_LT (stoppingMs, 1000);
}

TEST (SocketThread, APortThatCannotBeBoundEndsTheThreadAndKeepsTheMode)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    FakeInputHost host;
    MemoryInputPlatform platform;
    SocketThread thread (host, platform);

    // Held without address reuse, which JUCE's sockets would share.
    auto const holder = ::socket (AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons ((uint16_t) receiverPort);
    ASSERT_EQ (::bind (holder, (sockaddr*) &address, sizeof (address)), 0);

    thread.setReceiving ("MAC", receiverPort, {});

    // Waited for without running the message loop, which would show the box.
    for (int i = 0; i < 500 && thread.isThreadRunning(); ++i)
        juce::Thread::sleep (10);

    EXPECT_FALSE (thread.isThreadRunning());
    EXPECT_EQ (thread.getMode(), SocketThread::Receiving);
    EXPECT_EQ (log.count ("Start SocketThread with bound port: 25490"), 0);
    ::close (holder);
}
