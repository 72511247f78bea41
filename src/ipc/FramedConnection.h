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
    bytes arrive, never ahead of them by more than readChunkBytes. A connection
    that can no longer be read (closed, ended inside a frame header or a frame,
    a wrong magic number, a frame beyond maxFrameBytes, a failed read) is lost:
    what was cut short is never handed over, the socket is shut down so that
    the peer sees the end too, and connectionLost runs once.

    Writing never waits for the peer: a frame the socket takes whole at once
    goes out on the sender's thread, anything else is left to the writer. The
    writer gives up when the connection fails, when no byte has moved for
    stallTimeoutMs (a peer that stopped reading), or when a frame would make
    more than maxQueuedBytes wait behind the one being written (a peer that
    reads far slower than it is sent to). Having given up, it writes nothing
    more and shuts the connection down, so that the reader reports the loss.

    Callbacks run on the reader's thread, and connectionMade on the thread that
    makes the connection, before the reader starts. A connection made with
    callbacksOnMessageThread posts them to the message thread instead, in
    order; its reader reads the next frame only once the message thread has
    taken the one before, and a posted callback does nothing once disconnect()
    has run.

    A callback on the reader's thread may disconnect its connection, but
    neither destroy it nor connect it again (connectToSocket, takeSocket):
    both wait for the reader, which is that very thread.

    A derived class calls disconnect (Notify::no) first thing in its
    destructor, so that no callback reaches a half-destroyed object. */
class FramedConnection
{
public:
    /** The bounds of a connection (see above). */
    struct Limits
    {
        size_t maxFrameBytes = 256u << 20;
        size_t maxQueuedBytes = 32u << 20;    // one frame of any size may always wait
        int stallTimeoutMs = 30000;
    };

    /** How far a payload's buffer may grow ahead of the bytes that have arrived. */
    static constexpr size_t readChunkBytes = 1u << 20;

    /** A payload that several connections send (a broadcast) without copies. */
    using Payload = std::shared_ptr<juce::MemoryBlock const>;
    static Payload share (juce::MemoryBlock&& payload);

    enum class Notify { no, yes };

    explicit FramedConnection (juce::uint32 magicNumber, bool callbacksOnMessageThread = false);
    virtual ~FramedConnection();

    /** Bounds for the connections made from now on. */
    void setLimits (Limits newLimits);

    /** Names the peer in this connection's log lines ("cannot write to " +
        name); the peer's address until set. */
    void setPeerName (juce::String const& name);

    /** Ends a connection held (as disconnect() does), then connects to
        host:port within timeoutMs; true when connected. */
    bool connectToSocket (juce::String const& host, int port, int timeoutMs);

    /** Takes a socket accepted from peerAddress (a descriptor, which it closes
        when done). Called by ConnectionListener. */
    void takeSocket (int descriptor, juce::String const& peerAddress);

    /** Closes the connection and waits for its threads. With Notify::yes,
        connectionLost runs on the calling thread unless it already ran for
        this connection. Callable from any thread, and again. */
    void disconnect (Notify notify = Notify::yes);

    /** True from the making of a connection until it is lost or disconnected. */
    bool isConnected() const noexcept   { return connected.load(); }

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
        maxQueuedBytes). Callable from any thread. */
    bool sendMessage (juce::MemoryBlock payload);
    bool sendMessage (Payload payload);

    virtual void connectionMade() = 0;
    virtual void connectionLost() = 0;
    virtual void messageReceived (juce::MemoryBlock const& message) = 0;

private:
    struct Socket;
    struct Callbacks;
    class Writer;
    class Reader;

    void start (int descriptor, juce::String const& peerAddress);
    void connectionEnded (std::shared_ptr<Callbacks> const& posted);   // by the reader
    juce::String describePeer() const;

    juce::uint32 const magic;
    bool const onMessageThread;

    mutable std::mutex lock;                  // guards the members up to the atomics; never held while waiting
    Limits limits;
    juce::String peerName, hostName;
    std::shared_ptr<Socket> socket;
    std::shared_ptr<Writer> writer;
    std::unique_ptr<Reader> reader;
    std::shared_ptr<Callbacks> callbacks;    // only with callbacksOnMessageThread

    std::atomic<bool> connected { false };
    std::atomic<bool> started { false };
    std::atomic<bool> lossToReport { false }; // made, and connectionLost not yet run
    std::atomic<juce::uint32> lastReceived { 0 };
    std::atomic<juce::uint64> bytesReceived { 0 };

    JUCE_DECLARE_NON_COPYABLE (FramedConnection)
};
