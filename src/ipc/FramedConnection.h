#pragma once

#include <juce_events/juce_events.h>

#include <atomic>
#include <memory>
#include <mutex>

/** A connection whose frames always go out whole, in the order they were sent.

    juce::InterprocessConnection::sendMessage writes a frame with one send() on
    the caller's thread: frames sent by two threads at once interleave once the
    socket's buffer is full, after which the peer's reader is out of step for
    good. Here frames are written one after the other, each to its last byte: a
    frame the socket takes at once goes out on the sender's thread, anything
    else is left to the connection's one writer thread. Callers never wait for
    the peer, so a slow peer holds up nobody's thread.

    The writer gives up only when the connection fails or when no byte has
    moved for stallTimeoutMs (a peer that stopped reading): a frame that merely
    takes long is written to its end. Having given up, it writes nothing more
    and shuts the connection down, so that its reading thread reports the loss
    and the owner handles it as lost.

    A derived class calls startWriting() in its connectionMade(), which must run
    on the connection's own thread (callbacks not on the message thread): the
    socket is then in place and its reading thread not yet started. Its
    destructor disconnects before this base goes. */
class FramedConnection : public juce::InterprocessConnection
{
public:
    explicit FramedConnection (juce::uint32 magicNumber);

    /** Stops the writer; frames not yet written are dropped. */
    ~FramedConnection() override;

    /** Queues one frame. Returns false, and drops it, when the connection takes
        no frames: before its connection is made, once its writer gave up, and
        for a payload too large for the framing. Callable from any thread. */
    bool sendMessage (juce::MemoryBlock const& payload);

    /** True once a connection was made (startWriting ran). */
    bool hasStarted() const noexcept  { return started.load(); }

    /** How long the writer waits for a peer that takes no byte. */
    static constexpr int stallTimeoutMs = 2000;

protected:
    /** Starts a writer for the socket now in place, replacing the writer of an
        earlier connection. 'peerName' names the peer in the log line written
        when the writer gives up ("cannot write to " + peerName). */
    void startWriting (juce::String const& peerName);

private:
    class Writer;

    juce::uint32 const magic;
    std::mutex writerLock;                 // guards writer
    std::shared_ptr<Writer> writer;
    std::atomic<bool> started { false };

    JUCE_DECLARE_NON_COPYABLE (FramedConnection)
};
