#pragma once

#include "input/InputHost.h"
#include "platform/InputPlatform.h"

#include <juce_core/juce_core.h>
#include <juce_cryptography/juce_cryptography.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class EventDatagram;
class EventReplay;

/** Carries input events between two machines as encrypted UDP datagrams.

    The application owns one, created idle. While this machine's keyboard and
    mouse drive another machine it runs in Sending mode and sends the events
    the event tap queues, one datagram each, to the receiving machine; while
    another machine drives this one it runs in Receiving mode and replays the
    datagrams it reads as marked synthetic input. Otherwise it is Idle and not
    running. Every start binds a fresh socket on this machine's own port.

    Modes change only with the thread stopped (setSending, setReceiving,
    setIdle); the events still queued are dropped on every change of mode or
    target, so they never reach the next target.

    A datagram may be lost on the way (a receiver that falls behind drops
    what its socket cannot hold): a lost pointer position in the middle of a
    stream is made good by the next one, but a lost last one would leave the
    receiver's pointer off until the pointer moves again. So the last
    position sent goes again at the times of positionRepeatMs, as long as
    nothing else was sent after it.

    Threads: the mode operations come from the control connection's thread,
    the event-tap thread and the message thread (serialised by the
    application's control lock); the event tap queues; the loop runs on the
    thread "SocketThread". The getters may be called from any thread. */
class SocketThread : public juce::Thread
{
public:
    enum SocketMode : int
    {
        Sending = 0,
        Receiving = 1,
        Idle = 2
    };

    /** One captured input event on its way from the event tap to the sending
        loop; copied by value. Type codes: 0 move, 1 left drag, 2 left down,
        3 left up, 4 right down, 5 right up, 6 left double click, 7 scroll,
        8 key down, 9 key up, 10 a character composed through a dead key. */
    struct EventPlusData
    {
        juce::uint32 type = 0;
        double x = 0.0;                  // virtual desktop (types 0, 1)
        double y = 0.0;
        juce::int32 wheelDelta = 0;      // pixels (type 7)
        juce::String text;               // key name (8, 9 between unlike systems) or the character (10)
        juce::uint16 keyCode = 0;        // macOS virtual key code (8, 9 between like systems)
        juce::uint64 flags = 0x100;      // modifier flags; non-coalesced until a key or button stages others
        juce::int32 clickState = 0;      // click count (types 2, 3)
    };

    /** Idle and not started. The cipher is keyed with the key's UTF-8 bytes. */
    SocketThread (InputHost& app, InputPlatform& platform,
                  juce::String localOSToUse = "MAC", juce::String keyToUse = "DriftLanternK7q");

    /** Stops the thread (100 ms, then without a limit: it is never killed). */
    ~SocketThread() override;

    //==============================================================================
    void setReadingUDPPort (int port);

    /** Starts sending to a machine: stops the thread, stores the target and the
        own port, drops what is queued, mode Sending, starts. */
    void setSending (juce::String const& ip, int port, juce::String const& os, int ownPort);

    /** A machine that may drive this one: its address and port. */
    struct Sender
    {
        juce::String ip;
        int port = 0;
    };

    /** Starts receiving from a machine of that OS: stops the thread, mode
        Receiving, declares user activity ("KVMWakeup"), starts.

        Only the datagrams of a machine of 'from' are replayed; the first of
        them to send becomes the recorded sender (one alone is recorded at
        once), and from then on only its datagrams are replayed. A machine's
        datagrams are those from its address, and those from its port on an
        address that belongs to no member of the cluster: a machine with a
        second address may send from that one (its datagrams leave from its
        own port). 'memberAddresses' are the addresses of the other members,
        whose datagrams are never taken for another machine's. The recorded
        sender keeps the address and port it announced. */
    void setReceiving (juce::String const& fromOS, int ownPort, std::vector<Sender> from,
                       juce::StringArray memberAddresses = {});

    /** True while receiving and the machine at that address and port may be
        the one that drives this one: the recorded sender, or, before the
        first datagram, any machine that was admitted. */
    bool mayBeDrivenBy (juce::String const& ip, int port) const;

    void setSendingOS (juce::String const& os);

    /** Stops the thread, mode Idle, releases every key and button the replay
        holds, and lets the application show it (InputHost::showIdle). */
    void setIdle();

    //==============================================================================
    /** Stages an event and queues a copy of it, only while Sending. Under the
        staging lock, 'stage' sets the fields of its event type on the one
        staging record (the other fields keep what earlier events left there),
        then a copy of the record is appended to the queue and the sending loop
        is woken. Returns whether it was queued. Event-tap thread. */
    bool queueEvent (std::function<void (EventPlusData&)> const& stage);

    /** Queues a key up (type 9): the key code and flags to a machine of the
        same system, the key's name to one of another system. */
    void sendKeyUp (juce::uint16 keyCode, juce::uint64 flags);

    //==============================================================================
    int getMode() const noexcept                { return mode.load(); }
    int getReadingPort() const noexcept         { return readingPort.load(); }

    juce::String getTargetIP() const;
    int getTargetPort() const;
    juce::String getTargetOS() const;

    /** Address and port of the machine this one receives from (see setReceiving). */
    juce::String getSenderIP() const;
    int getSenderPort() const;
    juce::String getSendingOS() const;

    /** True when the target's OS text equals the local one exactly. */
    bool targetIsSameSystem() const;

    /** This machine's OS text ("MAC"). */
    const juce::String localOS;

    /** The rounded virtual position of the last queued move (the edge
        crossing reads and writes them on the event-tap thread). */
    std::atomic<int> lastX { -1 }, lastY { -1 };

    /** When a pointer position that was the last thing sent goes again,
        in milliseconds after it was first sent. */
    static constexpr int positionRepeatMs[] = { 50, 500 };

    //==============================================================================
    void run() override;

private:
    /** Wakes the sending loop and ends the receive wait when the thread is
        asked to exit: a mode change, which holds the application's control
        lock, then waits for no time-out. */
    struct ExitWaker : juce::Thread::Listener
    {
        explicit ExitWaker (SocketThread& t) : owner (t) {}
        void exitSignalSent() override   { owner.wakeSendingLoop(); owner.wakeReceiveWait(); }
        SocketThread& owner;
    };

    /** Asks the thread to exit and waits for it: timeoutMs, then without a
        limit (a late thread is never killed: it may hold a lock). */
    void stopRunning (int timeoutMs);

    /** Stops the thread and drops what is queued; receiving ends there. */
    void stopForModeChange();

    void wakeSendingLoop();
    void wakeReceiveWait();

    /** As DatagramSocket::waitUntilReady for reading, but ends early (giving
        0) when the thread is asked to exit. */
    int waitForDatagram (juce::DatagramSocket& socket);
    bool sendNextEvent (juce::DatagramSocket& socket, juce::String const& ip, int port, bool sameSystem);
    void receiveOne (juce::DatagramSocket* socket);

    static constexpr int timeoutMs = 100;

    /** The datagram of a pointer position that was the last thing sent, and
        when it is due again (sending thread only). */
    struct PositionRepeat
    {
        juce::MemoryBlock bytes;
        std::chrono::steady_clock::time_point sent;
        size_t repeats = 0;
    };

    std::optional<PositionRepeat> positionRepeat;

    /** Sends the last position again when it is due; the time until the next
        repeat is due, if one is. */
    std::optional<std::chrono::milliseconds> repeatPositionIfDue (juce::DatagramSocket& socket,
                                                                  juce::String const& ip, int port);

    InputHost& app;
    InputPlatform& platform;
    std::unique_ptr<EventDatagram const> datagram;
    std::unique_ptr<EventReplay> replay;   // used by the thread only, and while it is stopped
    ExitWaker exitWaker { *this };

    int receiveWakeFd = -1;   // an eventfd: written when the thread is asked to exit

    std::atomic<int> mode { Idle };
    std::atomic<int> readingPort { -1 };

    // The producers' record, then the queue: stagingLock is taken first.
    juce::CriticalSection stagingLock;
    EventPlusData stagingEvent;

    std::mutex queueLock;
    std::condition_variable queueChanged;
    std::deque<EventPlusData> eventQueue;

    /** The admitted machine whose datagram this is, if any. addressLock. */
    std::optional<Sender> findSender (juce::String const& fromIP, int fromPort) const;

    mutable std::mutex addressLock;   // the fields below
    juce::String targetIP, targetOS, senderIP, sendingOS;
    int targetPort = -1, senderPort = 0;
    std::vector<Sender> expectedSenders;
    juce::StringArray knownAddresses;

    JUCE_DECLARE_NON_COPYABLE (SocketThread)
};
