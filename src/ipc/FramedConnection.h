#pragma once

#include <juce_events/juce_events.h>

#include <atomic>
#include <memory>
#include <mutex>

/** One TCP connection that carries frames: the magic number and the payload
    length (both 32-bit little-endian), then the payload.

    It owns its socket and two threads: a reader ("FrameReader"), which reads
    frame after frame and hands each payload over whole, and a writer
    ("FrameWriter"), which sends queued frames one after the other, each to its
    last byte.

    Reading trusts nothing the peer announces: a payload's buffer grows as its
    bytes arrive, never ahead of them by more than readChunkBytes. The length
    is a signed number: a frame of length 0 or less delivers nothing, and the
    next header is read. A frame beyond maxFrameBytes is read through and
    dropped without being held; the connection goes on. A connection that can
    no longer be read (closed, ended inside a frame header or a frame, a wrong
    magic number, a failed read) is lost: what was cut short is never handed
    over, the socket is shut down so that the peer sees the end too, and the
    loss is reported.

    Writing never waits for the peer: a frame the socket takes whole at once
    goes out on the sender's thread, anything else is left to the writer. A
    peer that reads on, however slowly, is never closed for what real use
    makes wait for it; memory stays bounded all the same:
      - a frame sent with sendLatest replaces the one of its kind that waits
        and of which nothing went out yet (a newer clipboard makes an older
        one moot): at most one of each kind waits;
      - the other frames waiting may cost at most maxQueuedBytes, each
        counted with waitingFrameOverhead, far beyond what the control
        messages of any real use come to; a single frame of any size may
        always wait.
    The writer gives up when the connection fails, when no byte has moved for
    stallTimeoutMs (a peer that stopped reading), or when the other frames
    would cost more than maxQueuedBytes. Having given up, it writes nothing
    more and shuts the connection down, so that the reader reports the loss.

    Callbacks run on the reader's thread, and connectionMade on the thread that
    makes the connection, before the reader starts. A connection made with
    callbacksOnMessageThread posts them to the message thread instead, in
    order; its reader reads the next frame only once the message thread has
    taken the one before, and a posted callback does nothing once disconnect()
    has run.

    Threads: every function may be called from any thread at any time, with
    two exceptions: a callback on the reader's thread must not destroy its
    connection (the destructor waits for that thread; asserted), and a
    derived class calls disconnect (Notify::no) first thing in its destructor,
    so that no callback reaches a half-destroyed object. A connection made
    while another thread makes one ends the other, as disconnect() would.

    Each connection made reports its loss (connectionLost) at most once: when
    it is lost, on the reader's thread or posted; else, or when the posted
    report has not run yet, by the disconnect() that ends it with
    Notify::yes. */
class FramedConnection
{
public:
    /** The bounds of a connection (see above). */
    struct Limits
    {
        size_t maxFrameBytes = 256u << 20;    // at most 2 GiB - 1, the longest a frame can announce
        size_t maxQueuedBytes = 32u << 20;    // frames waiting, other than those sent with sendLatest
        int stallTimeoutMs = 30000;
    };

    /** How far a payload's buffer may grow ahead of the bytes that have arrived. */
    static constexpr size_t readChunkBytes = 1u << 20;

    /** What a waiting frame costs beyond its bytes, counted against maxQueuedBytes. */
    static constexpr size_t waitingFrameOverhead = 160;

    /** A payload that several connections send (a broadcast) without copies. */
    using Payload = std::shared_ptr<juce::MemoryBlock const>;
    static Payload share (juce::MemoryBlock&& payload);

    enum class Notify { no, yes };

    explicit FramedConnection (juce::uint32 magicNumber, bool callbacksOnMessageThread = false);
    virtual ~FramedConnection();

    /** Bounds for the connections made from now on. */
    void setLimits (Limits newLimits);
    Limits getLimits() const;

    /** Names the peer in this connection's log lines ("cannot write to " +
        name); the peer's address until set. */
    void setPeerName (juce::String const& name);

    /** Ends a connection held (as disconnect() does, reporting its loss),
        then connects to host:port within timeoutMs; true when connected. */
    bool connectToSocket (juce::String const& host, int port, int timeoutMs);

    /** Takes a socket accepted from peerAddress (a descriptor, which it closes
        when done), ending a connection held without reporting its loss.
        Called by ConnectionListener. */
    void takeSocket (int descriptor, juce::String const& peerAddress);

    /** Closes the connection and waits for its threads (called on the
        reader's own thread, the reader is waited for later). With
        Notify::yes, connectionLost runs on the calling thread unless it
        already ran for this connection. Callable again. */
    void disconnect (Notify notify = Notify::yes);

    /** True from the making of a connection until it is lost or disconnected. */
    bool isConnected() const;

    /** True once a connection was made (it may be lost since). */
    bool hasStarted() const noexcept    { return started.load(); }

    /** When bytes last arrived (juce::Time::getMillisecondCounter), or the
        connection was made: a large frame arriving is progress too. */
    juce::uint32 getLastReceiveTime() const noexcept   { return lastReceived.load(); }

    /** Bytes read since the object was made, frames and headers alike. */
    juce::uint64 getBytesReceived() const noexcept      { return bytesReceived.load(); }

    /** The address an accepted connection comes from, or the host connected
        to; empty before any connection. */
    juce::String getConnectedHostName() const;

    /** Queues one frame. Returns false, and drops it, when the connection
        takes no frames: before it is made, once its writer gave up, for a
        payload beyond maxFrameBytes, and when the writer gives up on it (see
        maxQueuedBytes). */
    bool sendMessage (juce::MemoryBlock payload);
    bool sendMessage (Payload payload);

    /** Queues a frame of which only the newest waiting one of its kind
        matters: a frame of that kind that waits, none of it sent yet, is
        dropped, and this one goes behind everything queued so far (so what
        was sent between the two still arrives before it). Such frames do not
        count against maxQueuedBytes. */
    bool sendLatest (Payload payload, juce::String const& kind);

    /** Drops the waiting frame of that kind, if none of it was sent yet: done
        before its successor is built, the two are never held at once. */
    void dropWaiting (juce::String const& kind);

    virtual void connectionMade() = 0;
    virtual void connectionLost() = 0;
    virtual void messageReceived (juce::MemoryBlock const& message) = 0;

private:
    struct Socket;
    struct Link;
    struct Callbacks;
    struct Session;
    class Writer;
    class Reader;

    void start (int descriptor, juce::String const& peerAddress, Notify notifyReplaced);
    void end (std::unique_ptr<Session> ending, Notify notify);
    void connectionEnded (std::shared_ptr<Link> const& link, std::shared_ptr<Callbacks> const& posted);   // by the reader
    std::shared_ptr<Writer> currentWriter() const;
    juce::String describePeer() const;

    juce::uint32 const magic;
    bool const onMessageThread;

    mutable std::mutex lock;                  // guards the members up to the atomics; never held while waiting
    Limits limits;
    juce::String peerName, hostName;
    std::unique_ptr<Session> session;         // the connection made, until it is disconnected
    std::unique_ptr<Reader> selfEndedReader;  // disconnected on its own thread, still to be waited for

    std::atomic<bool> started { false };
    std::atomic<juce::uint32> lastReceived { 0 };
    std::atomic<juce::uint64> bytesReceived { 0 };

    JUCE_DECLARE_NON_COPYABLE (FramedConnection)
};
