#include "ipc/FramedConnection.h"

#include "core/Logging.h"

#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace
{
constexpr int pollSliceMs = 100;   // how soon the writer notices that it should stop

juce::MemoryBlock frameOf (juce::uint32 magic, juce::MemoryBlock const& payload)
{
    juce::MemoryBlock frame (8 + payload.getSize());
    auto* bytes = static_cast<juce::uint8*> (frame.getData());

    for (auto [offset, word] : { std::pair { 0, magic }, std::pair { 4, (juce::uint32) payload.getSize() } })
        for (int i = 0; i < 4; ++i)
            bytes[offset + i] = (juce::uint8) (word >> (8 * i));

    frame.copyFrom (payload.getData(), 8, payload.getSize());
    return frame;
}
} // namespace

//==============================================================================
/** The writer of one connection. A frame that the socket takes whole at once
    is written by the sender itself, when nothing is queued before it; the rest
    of a frame, and every frame behind it, goes to the writer thread, which
    waits for the peer. Only one of them writes at a time, so frames keep their
    order and never mix.

    It writes through a descriptor of its own (a duplicate of the socket's), so
    that its writes never touch JUCE's socket object, which the reading thread
    may delete at any time; JUCE's closing of the socket shuts the connection
    down for this descriptor too. */
class FramedConnection::Writer : public juce::Thread
{
public:
    Writer (int socketHandle, juce::String peerNameToUse)
        : juce::Thread ("FrameWriter"),
          descriptor (::fcntl (socketHandle, F_DUPFD_CLOEXEC, 0)),
          peerName (std::move (peerNameToUse))
    {
    }

    ~Writer() override
    {
        signalThreadShouldExit();
        notify();
        waitForThreadToExit (-1);   // woken just above; a write in progress looks up every pollSliceMs

        if (descriptor >= 0)
            ::close (descriptor);
    }

    bool enqueue (juce::MemoryBlock frame)
    {
        {
            const std::lock_guard<std::mutex> sl (queueLock);

            if (gaveUp || descriptor < 0)
                return false;

            size_t written = 0;

            if (queue.empty() && ! threadWriting)
            {
                auto const n = ::send (descriptor, frame.getData(), frame.getSize(), MSG_DONTWAIT | MSG_NOSIGNAL);

                if (n > 0 && (size_t) n == frame.getSize())
                    return true;

                written = (size_t) juce::jmax<ssize_t> (0, n);   // a failure is the thread's to find
            }

            queue.push_back ({ std::move (frame), written });
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
                }
            }

            if (next.frame.isEmpty())
            {
                wait (-1);   // enqueue() and the destructor wake it; an idle connection costs nothing
                continue;
            }

            if (! writeWhole (next))
            {
                giveUp();
                return;
            }
        }
    }

private:
    struct Pending
    {
        juce::MemoryBlock frame;
        size_t written = 0;   // bytes of it already sent
    };

    /** Writes the rest of a frame; false when the connection failed, no byte
        moved for stallTimeoutMs, or the thread is asked to stop. */
    bool writeWhole (Pending const& pending)
    {
        auto const* next = static_cast<char const*> (pending.frame.getData()) + pending.written;
        auto left = pending.frame.getSize() - pending.written;
        auto lastProgress = juce::Time::getMillisecondCounter();

        while (left > 0 && ! threadShouldExit())
        {
            auto const written = ::send (descriptor, next, left, MSG_DONTWAIT | MSG_NOSIGNAL);

            if (written > 0)
            {
                next += written;
                left -= (size_t) written;
                lastProgress = juce::Time::getMillisecondCounter();
                continue;
            }

            if (written < 0 && errno == EINTR)
                continue;

            if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                return false;

            if (juce::Time::getMillisecondCounter() - lastProgress >= (juce::uint32) stallTimeoutMs)
                return false;

            pollfd writable { descriptor, POLLOUT, 0 };
            ::poll (&writable, 1, pollSliceMs);
        }

        return left == 0;
    }

    void giveUp()
    {
        {
            const std::lock_guard<std::mutex> sl (queueLock);
            gaveUp = true;
            queue.clear();
        }

        if (threadShouldExit())
            return;   // the connection is going anyway

        // Part of a frame may have gone out, after which anything written would
        // be read as garbage: the connection ends here.
        DBGOrLog ("Connection: cannot write to " + peerName + ", closing it");
        ::shutdown (descriptor, SHUT_RDWR);
    }

    int const descriptor;
    juce::String const peerName;
    std::mutex queueLock;
    std::deque<Pending> queue;             // guarded by queueLock
    bool threadWriting = false;            // guarded by queueLock: the thread holds a frame
    bool gaveUp = false;                   // guarded by queueLock
};

//==============================================================================
FramedConnection::FramedConnection (juce::uint32 magicNumber)
    : juce::InterprocessConnection (false, magicNumber),
      magic (magicNumber)
{
}

FramedConnection::~FramedConnection()
{
    std::shared_ptr<Writer> leaving;
    {
        const std::lock_guard<std::mutex> sl (writerLock);
        leaving.swap (writer);
    }
}

void FramedConnection::startWriting (juce::String const& peerName)
{
    auto* connected = getSocket();

    if (connected == nullptr)
        return;

    auto fresh = std::make_shared<Writer> (connected->getRawSocketHandle(), peerName);
    fresh->startThread();

    std::shared_ptr<Writer> previous;
    {
        const std::lock_guard<std::mutex> sl (writerLock);
        previous = std::exchange (writer, fresh);
    }

    started = true;
    // The previous writer, if any, goes here: its connection is already closed.
}

bool FramedConnection::sendMessage (juce::MemoryBlock const& payload)
{
    // The reader takes the length as a signed 32-bit number.
    if (payload.getSize() > (size_t) std::numeric_limits<juce::int32>::max() - 8)
        return false;

    std::shared_ptr<Writer> current;
    {
        const std::lock_guard<std::mutex> sl (writerLock);
        current = writer;
    }

    return current != nullptr && current->enqueue (frameOf (magic, payload));
}
