#include "ipc/FramedConnection.h"

#include "core/Logging.h"
#include "ipc/TcpSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{
constexpr int pollSliceMs = 100;   // how soon a waiting thread notices that it should stop

juce::uint32 littleEndian32 (juce::uint8 const* bytes)
{
    return (juce::uint32) bytes[0] | ((juce::uint32) bytes[1] << 8) | ((juce::uint32) bytes[2] << 16) | ((juce::uint32) bytes[3] << 24);
}

void putLittleEndian32 (juce::uint8* bytes, juce::uint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = (juce::uint8) (value >> (8 * i));
}

juce::String describeBytes (size_t bytes)
{
    return juce::String ((juce::int64) bytes) + " bytes";
}
} // namespace

//==============================================================================
/** The connection's socket, closed once the last of its users lets go of it:
    the reader, the writer and a sender writing at that moment. */
struct FramedConnection::Socket
{
    explicit Socket (int descriptorToUse) : descriptor (descriptorToUse) {}
    ~Socket() { ::close (descriptor); }

    /** Ends the connection for both directions: blocked reads and writes return. */
    void shutDown() const { ::shutdown (descriptor, SHUT_RDWR); }

    int const descriptor;

    JUCE_DECLARE_NON_COPYABLE (Socket)
};

//==============================================================================
/** What one connection made shares between its reader, its posted callbacks
    and the disconnect() that ends it. Each connection made has its own, so
    that ending one never touches the state of another made after it. */
struct FramedConnection::Link
{
    std::atomic<bool> up { true };             // made, and neither lost nor disconnected
    std::atomic<bool> lossToReport { true };   // connectionLost not yet run for it

    /** True once: for whoever is to report the loss. */
    bool takeLoss() { return lossToReport.exchange (false); }
};

//==============================================================================
/** What callbacks posted to the message thread hold on to: the connection
    until it is disconnected. A callback runs under the lock, so disconnecting
    waits for one that has begun. */
struct FramedConnection::Callbacks
{
    explicit Callbacks (FramedConnection& c) : owner (&c) {}

    /** Posts a callback; 'taken' is signalled once it ran or was dropped. */
    static void post (std::shared_ptr<Callbacks> const& self, std::function<void (FramedConnection&)> callback)
    {
        auto run = [self, callback = std::move (callback)]
        {
            {
                const juce::ScopedLock sl (self->lock);

                if (self->owner != nullptr)
                    callback (*self->owner);
            }

            self->taken.signal();
        };

        if (! juce::MessageManager::callAsync (std::move (run)))
            self->taken.signal();
    }

    void disable()
    {
        const juce::ScopedLock sl (lock);
        owner = nullptr;
    }

    juce::CriticalSection lock;
    FramedConnection* owner;                 // guarded by lock; null once disconnected
    juce::WaitableEvent taken;
};

//==============================================================================
/** The writer of one connection. A frame that the socket takes whole at once
    is written by the sender itself, when nothing is queued before it; the rest
    of a frame, and every frame behind it, goes to the writer thread, which
    waits for the peer. Only one of them writes at a time, so frames keep their
    order and never mix. */
class FramedConnection::Writer : public juce::Thread
{
public:
    Writer (FramedConnection& ownerToUse, std::shared_ptr<Socket> socketToUse, Limits limitsToUse)
        : juce::Thread ("FrameWriter"),
          owner (ownerToUse),
          socket (std::move (socketToUse)),
          limits (limitsToUse)
    {
    }

    ~Writer() override { stop(); }

    /** Ends the thread; frames not yet written are dropped. */
    void stop()
    {
        signalThreadShouldExit();
        notify();
        waitForThreadToExit (-1);   // woken just above; a write in progress looks up every pollSliceMs
    }

    /** Queues a frame; with a kind, in place of the one of that kind that waits. */
    bool enqueue (Payload payload, juce::String const& kind)
    {
        if (payload->getSize() > limits.maxFrameBytes)
        {
            DBGOrLog ("Connection: not sending " + describeBytes (payload->getSize()) + " to " + owner.describePeer()
                      + ", beyond the frame limit");
            return false;
        }

        Pending pending (owner.magic, std::move (payload), kind);
        juce::String refusal;

        {
            const std::lock_guard<std::mutex> sl (queueLock);

            if (gaveUp || threadShouldExit())
                return false;

            if (queue.empty() && ! threadWriting)
            {
                auto const n = sendSome (pending);   // a failure is the thread's to find

                if (n > 0 && pending.left() == 0)
                    return true;
            }
            else if (kind.isNotEmpty())
            {
                dropWaitingLocked (kind);
            }
            else if (countedBytes > 0 && countedBytes + pending.cost() > limits.maxQueuedBytes)
            {
                refusal = describeBytes (countedBytes + pending.cost()) + " would wait";
                gaveUp = true;
                queue.clear();
                countedBytes = 0;
            }

            if (refusal.isEmpty())
            {
                // Only what waits whole counts: a frame begun is the one being written.
                pending.counted = kind.isEmpty() && pending.written == 0 ? pending.cost() : 0;
                countedBytes += pending.counted;
                queue.push_back (std::move (pending));
            }
        }

        if (refusal.isNotEmpty())
        {
            closeFor (refusal);
            return false;
        }

        notify();
        return true;
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            Pending next;
            {
                const std::lock_guard<std::mutex> sl (queueLock);
                threadWriting = ! queue.empty();

                if (threadWriting)
                {
                    next = std::move (queue.front());
                    queue.pop_front();
                    countedBytes -= next.counted;
                }
            }

            if (next.payload == nullptr)
            {
                wait (-1);   // enqueue() and stop() wake it; an idle connection costs nothing
                continue;
            }

            auto const problem = writeWhole (next);

            if (problem.isNotEmpty())
            {
                {
                    const std::lock_guard<std::mutex> sl (queueLock);
                    gaveUp = true;
                    queue.clear();
                    countedBytes = 0;
                }

                if (! threadShouldExit())   // else the connection is going anyway
                    closeFor (problem);

                return;
            }
        }
    }

    void dropWaiting (juce::String const& kind)
    {
        const std::lock_guard<std::mutex> sl (queueLock);
        dropWaitingLocked (kind);
    }

private:
    struct Pending
    {
        Pending() = default;

        Pending (juce::uint32 magicNumber, Payload p, juce::String k) : payload (std::move (p)), kind (std::move (k))
        {
            putLittleEndian32 (header, magicNumber);
            putLittleEndian32 (header + 4, (juce::uint32) payload->getSize());
        }

        size_t total() const { return sizeof (header) + payload->getSize(); }
        size_t left() const  { return total() - written; }
        size_t cost() const  { return total() + waitingFrameOverhead; }

        juce::uint8 header[8] {};
        Payload payload;
        juce::String kind;    // empty: none (see sendLatest)
        size_t written = 0;   // bytes of header and payload already sent
        size_t counted = 0;   // what it counts against maxQueuedBytes while it waits
    };

    /** There is at most one: each frame of a kind replaces the one before. */
    void dropWaitingLocked (juce::String const& kind)
    {
        auto const found = std::find_if (queue.begin(), queue.end(), [&kind] (Pending const& p)
                                         { return p.written == 0 && p.kind == kind; });

        if (found != queue.end())
        {
            countedBytes -= found->counted;
            queue.erase (found);
        }
    }

    /** Sends what the socket takes of the rest of a frame at once. */
    ssize_t sendSome (Pending& pending) const
    {
        iovec parts[2] {};
        int count = 0;

        if (pending.written < sizeof (pending.header))
            parts[count++] = { pending.header + pending.written, sizeof (pending.header) - pending.written };

        auto const payloadDone = pending.written > sizeof (pending.header) ? pending.written - sizeof (pending.header) : 0;

        if (payloadDone < pending.payload->getSize())
            parts[count++] = { static_cast<char*> (const_cast<void*> (pending.payload->getData())) + payloadDone,
                               pending.payload->getSize() - payloadDone };

        msghdr message {};
        message.msg_iov = parts;
        message.msg_iovlen = (size_t) count;
        auto const sent = ::sendmsg (socket->descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);

        if (sent > 0)
            pending.written += (size_t) sent;

        return sent;
    }

    /** Writes the rest of a frame; why it could not (empty when it is written
        or the thread is asked to stop). */
    juce::String writeWhole (Pending& pending)
    {
        auto lastProgress = juce::Time::getMillisecondCounter();

        while (pending.left() > 0 && ! threadShouldExit())
        {
            auto const sent = sendSome (pending);

            if (sent > 0)
            {
                lastProgress = juce::Time::getMillisecondCounter();
                continue;
            }

            if (sent < 0 && errno == EINTR)
                continue;

            if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                return "the connection failed";

            if (juce::Time::getMillisecondCounter() - lastProgress >= (juce::uint32) limits.stallTimeoutMs)
                return "no byte taken for " + juce::String (limits.stallTimeoutMs / 1000.0, 1) + " s";

            pollfd writable { socket->descriptor, POLLOUT, 0 };
            ::poll (&writable, 1, pollSliceMs);
        }

        return {};
    }

    /** Part of a frame may have gone out, after which anything written would
        be read as garbage: the connection ends here. */
    void closeFor (juce::String const& reason)
    {
        DBGOrLog ("Connection: cannot write to " + owner.describePeer() + " (" + reason + "), closing it");
        socket->shutDown();
    }

    FramedConnection& owner;               // names the peer; disconnect() ends this thread before the owner goes
    std::shared_ptr<Socket> const socket;
    Limits const limits;
    std::mutex queueLock;
    std::deque<Pending> queue;             // guarded by queueLock
    size_t countedBytes = 0;               // guarded by queueLock: what the waiting frames count (see Pending::counted)
    bool threadWriting = false;            // guarded by queueLock: the thread holds a frame
    bool gaveUp = false;                   // guarded by queueLock
};

//==============================================================================
/** The reader of one connection: reads frame after frame and hands each
    payload over whole, until the connection can no longer be read. */
class FramedConnection::Reader : public juce::Thread
{
public:
    Reader (FramedConnection& ownerToUse, std::shared_ptr<Socket> socketToUse, Limits limitsToUse,
            std::shared_ptr<Link> linkToUse, std::shared_ptr<Callbacks> postedToUse)
        : juce::Thread ("FrameReader"),
          owner (ownerToUse),
          socket (std::move (socketToUse)),
          limits (limitsToUse),
          link (std::move (linkToUse)),
          posted (std::move (postedToUse))
    {
    }

    ~Reader() override
    {
        signalThreadShouldExit();
        waitForThreadToExit (-1);   // its socket is shut down first: a read in progress returns
    }

    void run() override
    {
        auto const ending = readFrames();

        if (threadShouldExit())
            return;   // disconnect() ends it, and reports the loss when asked to

        if (ending.isNotEmpty())
            DBGOrLog ("Connection: " + owner.describePeer() + " " + ending + ", closing it");

        socket->shutDown();   // the writer stops, the peer sees the end
        owner.connectionEnded (link, posted);
    }

private:
    /** Reads and hands over frames until the connection can no longer be
        read; why (empty for a close between two frames, and when asked to stop). */
    juce::String readFrames()
    {
        for (;;)
        {
            juce::uint8 header[8];
            size_t got = 0;

            while (got < sizeof (header))
            {
                auto const n = readSome (header + got, sizeof (header) - got);

                if (n == 0)
                    return got == 0 || failure.isNotEmpty() ? failure : juce::String ("ended inside a frame header");

                got += n;
            }

            if (littleEndian32 (header) != owner.magic)
                return "sent a wrong magic number";

            // A signed length: 0 or less delivers nothing.
            auto const announced = (juce::int32) littleEndian32 (header + 4);

            if (announced <= 0)
                continue;

            auto const length = (size_t) announced;

            if (length > limits.maxFrameBytes)
            {
                DBGOrLog ("Connection: " + owner.describePeer() + " sent a frame of " + describeBytes (length)
                          + ", beyond the limit; dropping it");

                if (! skip (length))
                    return failure.isNotEmpty() ? failure : juce::String ("ended inside a frame");

                continue;
            }

            juce::MemoryBlock payload;

            for (size_t filled = 0; filled < length;)
            {
                try
                {
                    payload.setSize (juce::jmin (length, filled + readChunkBytes));
                }
                catch (std::bad_alloc const&)
                {
                    return "sent a frame of " + describeBytes (length) + ", more than can be held";
                }

                auto const n = readSome (static_cast<char*> (payload.getData()) + filled, payload.getSize() - filled);

                if (n == 0)
                    return failure.isNotEmpty() ? failure : juce::String ("ended inside a frame");

                filled += n;
            }

            deliver (std::move (payload));

            if (threadShouldExit())
                return {};
        }
    }

    /** Reads 'length' bytes and keeps none of them; false when the connection
        ended first (or is being stopped). */
    bool skip (size_t length)
    {
        std::vector<char> scratch (juce::jmin<size_t> (length, 1u << 16));

        for (size_t left = length; left > 0;)
        {
            auto const n = readSome (scratch.data(), juce::jmin (left, scratch.size()));

            if (n == 0)
                return false;

            left -= n;
        }

        return true;
    }

    /** Waits for bytes and reads up to 'size' of them; 0 when the connection
        ended, failed (failure says how) or is being stopped. */
    size_t readSome (void* destination, size_t size)
    {
        for (;;)
        {
            auto const n = ::recv (socket->descriptor, destination, size, 0);

            if (threadShouldExit())
                return 0;

            if (n > 0)
            {
                owner.lastReceived = juce::Time::getMillisecondCounter();
                owner.bytesReceived += (juce::uint64) n;
                return (size_t) n;
            }

            if (n < 0 && errno == EINTR)
                continue;

            if (n < 0)
                failure = "could not be read (" + juce::String (std::strerror (errno)) + ")";

            return 0;
        }
    }

    void deliver (juce::MemoryBlock&& payload)
    {
        if (posted == nullptr)
        {
            owner.messageReceived (payload);
            return;
        }

        // Nothing piles up on the message thread: one message at a time waits there.
        auto const shared = std::make_shared<juce::MemoryBlock const> (std::move (payload));
        posted->taken.reset();
        Callbacks::post (posted, [shared] (FramedConnection& c) { c.messageReceived (*shared); });

        while (! posted->taken.wait (pollSliceMs) && ! threadShouldExit()) {}
    }

    FramedConnection& owner;
    std::shared_ptr<Socket> const socket;
    Limits const limits;
    std::shared_ptr<Link> const link;
    std::shared_ptr<Callbacks> const posted;   // null: callbacks run on this thread
    juce::String failure;
};

//==============================================================================
/** One connection made: its socket, its threads and what they share. */
struct FramedConnection::Session
{
    std::shared_ptr<Socket> socket;
    std::shared_ptr<Link> link;
    std::shared_ptr<Callbacks> callbacks;   // null: callbacks run on the reader's thread
    std::shared_ptr<Writer> writer;
    std::unique_ptr<Reader> reader;
};

//==============================================================================
FramedConnection::Payload FramedConnection::share (juce::MemoryBlock&& payload)
{
    return std::make_shared<juce::MemoryBlock const> (std::move (payload));
}

FramedConnection::FramedConnection (juce::uint32 magicNumber, bool callbacksOnMessageThread)
    : magic (magicNumber),
      onMessageThread (callbacksOnMessageThread)
{
}

FramedConnection::~FramedConnection()
{
    disconnect (Notify::no);

    std::unique_ptr<Reader> ended;
    {
        const std::lock_guard<std::mutex> sl (lock);
        ended = std::move (selfEndedReader);
    }

    // Destroyed by a callback on its own reader, it would wait for itself.
    jassert (ended == nullptr || ended.get() != juce::Thread::getCurrentThread());
    ended.reset();
}

void FramedConnection::setLimits (Limits newLimits)
{
    // A longer frame cannot be announced.
    newLimits.maxFrameBytes = juce::jmin (newLimits.maxFrameBytes, (size_t) std::numeric_limits<juce::int32>::max());

    const std::lock_guard<std::mutex> sl (lock);
    limits = newLimits;
}

FramedConnection::Limits FramedConnection::getLimits() const
{
    const std::lock_guard<std::mutex> sl (lock);
    return limits;
}

void FramedConnection::setPeerName (juce::String const& name)
{
    const std::lock_guard<std::mutex> sl (lock);
    peerName = name;
}

juce::String FramedConnection::describePeer() const
{
    const std::lock_guard<std::mutex> sl (lock);
    return peerName.isNotEmpty() ? peerName : hostName;
}

juce::String FramedConnection::getConnectedHostName() const
{
    const std::lock_guard<std::mutex> sl (lock);
    return hostName;
}

bool FramedConnection::isConnected() const
{
    const std::lock_guard<std::mutex> sl (lock);
    return session != nullptr && session->link->up;
}

bool FramedConnection::connectToSocket (juce::String const& host, int port, int timeoutMs)
{
    disconnect();

    auto const descriptor = TcpSocket::connectTo (host, port, timeoutMs);

    if (descriptor < 0)
        return false;

    start (descriptor, host, Notify::yes);
    return true;
}

void FramedConnection::takeSocket (int descriptor, juce::String const& peerAddress)
{
    disconnect (Notify::no);
    start (descriptor, peerAddress, Notify::no);
}

void FramedConnection::start (int descriptor, juce::String const& peerAddress, Notify notifyReplaced)
{
    // A reader that disconnected itself is waited for, unless this is that
    // reader connecting again: then the next start or the destructor waits.
    std::unique_ptr<Reader> ended;
    {
        const std::lock_guard<std::mutex> sl (lock);

        if (selfEndedReader.get() != juce::Thread::getCurrentThread())
            ended = std::move (selfEndedReader);
    }
    ended.reset();

    auto fresh = std::make_unique<Session>();
    fresh->socket = std::make_shared<Socket> (descriptor);
    fresh->link = std::make_shared<Link>();
    fresh->callbacks = onMessageThread ? std::make_shared<Callbacks> (*this) : nullptr;

    auto const current = getLimits();
    fresh->writer = std::make_shared<Writer> (*this, fresh->socket, current);
    fresh->reader = std::make_unique<Reader> (*this, fresh->socket, current, fresh->link, fresh->callbacks);
    fresh->writer->startThread();

    auto* const starting = fresh->reader.get();
    auto const posted = fresh->callbacks;
    std::unique_ptr<Session> replaced;   // made meanwhile by another thread
    {
        const std::lock_guard<std::mutex> sl (lock);
        hostName = peerAddress;
        replaced = std::exchange (session, std::move (fresh));
        lastReceived = juce::Time::getMillisecondCounter();
        started = true;
    }

    end (std::move (replaced), notifyReplaced);

    if (posted != nullptr)
        Callbacks::post (posted, [] (FramedConnection& c) { c.connectionMade(); });
    else
        connectionMade();

    // Unless connectionMade, or another thread meanwhile, disconnected it.
    const std::lock_guard<std::mutex> sl (lock);

    if (session != nullptr && session->reader.get() == starting)
        starting->startThread();
}

void FramedConnection::connectionEnded (std::shared_ptr<Link> const& link, std::shared_ptr<Callbacks> const& posted)
{
    link->up = false;

    // A posted report takes the loss when it runs: a disconnect that comes
    // first reports it instead.
    if (posted != nullptr)
        Callbacks::post (posted, [link] (FramedConnection& c) { if (link->takeLoss()) c.connectionLost(); });
    else if (link->takeLoss())
        connectionLost();
}

void FramedConnection::disconnect (Notify notify)
{
    std::unique_ptr<Session> ending;
    {
        const std::lock_guard<std::mutex> sl (lock);
        ending = std::move (session);
    }

    end (std::move (ending), notify);
}

void FramedConnection::end (std::unique_ptr<Session> ending, Notify notify)
{
    if (ending == nullptr)
        return;

    // Both threads are told before the socket is shut down, so that they
    // take the end for this disconnect, not for a loss or a failed write.
    ending->link->up = false;
    ending->reader->signalThreadShouldExit();
    ending->writer->signalThreadShouldExit();

    if (ending->callbacks != nullptr)
        ending->callbacks->disable();   // waits for a callback that runs at this moment

    ending->socket->shutDown();

    // The reader never waits for itself: ended on its own thread, it is
    // waited for by the next start, disconnect or the destructor.
    if (ending->reader.get() == juce::Thread::getCurrentThread())
    {
        std::unique_ptr<Reader> earlier;
        {
            const std::lock_guard<std::mutex> sl (lock);
            earlier = std::exchange (selfEndedReader, std::move (ending->reader));
        }
        earlier.reset();
    }

    ending->reader.reset();
    ending->writer->stop();

    if (ending->link->takeLoss() && notify == Notify::yes)
        connectionLost();
}

std::shared_ptr<FramedConnection::Writer> FramedConnection::currentWriter() const
{
    const std::lock_guard<std::mutex> sl (lock);
    return session != nullptr ? session->writer : nullptr;
}

bool FramedConnection::sendMessage (juce::MemoryBlock payload)
{
    return sendMessage (share (std::move (payload)));
}

bool FramedConnection::sendMessage (Payload payload)
{
    auto const writer = currentWriter();
    return payload != nullptr && writer != nullptr && writer->enqueue (std::move (payload), {});
}

bool FramedConnection::sendLatest (Payload payload, juce::String const& kind)
{
    auto const writer = currentWriter();
    return payload != nullptr && writer != nullptr && writer->enqueue (std::move (payload), kind);
}

void FramedConnection::dropWaiting (juce::String const& kind)
{
    if (auto const writer = currentWriter())
        writer->dropWaiting (kind);
}
