#include "platform/SecondLaunchNotice.h"

#include "core/Logging.h"

#include <juce_events/juce_events.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Each notice: this magic number and the length of the text, both 32-bit
// little-endian, then the text in UTF-8. A notice is written in one write() of
// at most PIPE_BUF bytes, so notices from launches at the same moment never mix.
constexpr juce::uint32 noticeMagic = 0xF2B49E2Cu;
constexpr int maxTextBytes = 3500;
constexpr int headerBytes = 8;

juce::String pipeBase()
{
    return SecondLaunchNotice::getPipeFolder().getChildFile (SecondLaunchNotice::getPipeName()).getFullPathName();
}

enum class Fifo { missing, ours, foreign };

Fifo inspect (juce::String const& path)
{
    struct stat info {};

    if (lstat (path.toRawUTF8(), &info) != 0)
        return errno == ENOENT ? Fifo::missing : Fifo::foreign;

    return S_ISFIFO (info.st_mode) && info.st_uid == geteuid() ? Fifo::ours : Fifo::foreign;
}

juce::String cutToBytes (juce::String text, int maxBytes)
{
    if (text.getNumBytesAsUTF8() <= (size_t) maxBytes)
        return text;

    text = text.substring (0, maxBytes);

    while (text.getNumBytesAsUTF8() > (size_t) maxBytes)
        text = text.dropLastCharacters (1);

    return text;
}
} // namespace

//==============================================================================
/** Waits on the FIFO itself (poll without a timeout) and on a pipe of its own
    that the destructor writes to: an idle instance is never woken for nothing. */
class SecondLaunchNotice::Listener : private juce::Thread
{
public:
    explicit Listener (Handler onSecondLaunch)
        : juce::Thread ("Second launch notice"),
          handler (std::make_shared<Handler> (std::move (onSecondLaunch))),
          alive (std::make_shared<bool> (true))
    {
        listening = ::pipe2 (wake, O_CLOEXEC | O_NONBLOCK) == 0 && openPipe();

        if (listening)
            startThread();
    }

    ~Listener() override
    {
        *alive = false;
        signalThreadShouldExit();

        if (wake[1] >= 0)
        {
            char const stop = 1;
            [[maybe_unused]] auto const ignored = ::write (wake[1], &stop, 1);
        }

        waitForThreadToExit (-1);   // the thread wakes on the byte just written
        closePipe();

        for (auto end : wake)
            if (end >= 0)
                ::close (end);
    }

    bool isListening() const { return listening; }

private:
    std::shared_ptr<Handler> handler;
    std::shared_ptr<bool> alive;   // message thread only
    int fifo = -1;                 // the "_in" FIFO, read end (held open for writing too, so never at end of file)
    int wake[2] { -1, -1 };
    bool listening = false;

    /** Makes fresh FIFOs. Ours from before are a crash's leftovers: this
        instance holds the single-instance lock, so nobody else listens. */
    bool openPipe()
    {
        for (auto suffix : { "_in", "_out" })
        {
            auto path = pipeBase() + suffix;

            switch (inspect (path))
            {
                case Fifo::missing:
                    break;

                case Fifo::ours:
                    unlink (path.toRawUTF8());
                    break;

                case Fifo::foreign:
                    DBGOrLog ("Second launch notice: " + path + " is not this user's pipe; later launches will not be noticed");
                    return false;
            }

            if (mkfifo (path.toRawUTF8(), 0600) != 0)
            {
                DBGOrLog ("Second launch notice: cannot make " + path);
                return false;
            }
        }

        fifo = ::open ((pipeBase() + "_in").toRawUTF8(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return fifo >= 0;
    }

    void closePipe()
    {
        if (fifo < 0)
            return;

        ::close (fifo);
        fifo = -1;

        for (auto suffix : { "_in", "_out" })
            if (auto path = pipeBase() + suffix; inspect (path) == Fifo::ours)
                unlink (path.toRawUTF8());
    }

    /** Reads exactly 'count' bytes; false when asked to stop, on an error, or
        when they do not come within timeoutMs (-1: no limit). */
    bool readExactly (void* destination, int count, int timeoutMs)
    {
        auto* next = static_cast<char*> (destination);
        auto const deadline = juce::Time::getMillisecondCounter() + (juce::uint32) juce::jmax (0, timeoutMs);

        while (count > 0)
        {
            auto const n = ::read (fifo, next, (size_t) count);

            if (n > 0)
            {
                next += n;
                count -= (int) n;
                continue;
            }

            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return false;

            int waitMs = -1;

            if (timeoutMs >= 0)
            {
                auto const now = juce::Time::getMillisecondCounter();

                if ((juce::int32) (deadline - now) <= 0)
                    return false;

                waitMs = (int) (deadline - now);
            }

            pollfd ready[] { { fifo, POLLIN, 0 }, { wake[0], POLLIN, 0 } };

            if (::poll (ready, 2, waitMs) < 0 && errno != EINTR)
                return false;

            if (ready[1].revents != 0 || threadShouldExit())
                return false;
        }

        return true;
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            juce::uint8 header[headerBytes];

            if (! readExactly (header, headerBytes, -1))
                break;   // stopping

            auto magic = juce::ByteOrder::littleEndianInt (header);
            auto length = (int) juce::ByteOrder::littleEndianInt (header + 4);
            juce::HeapBlock<char> text ((size_t) juce::jmax (1, length));

            if (magic != noticeMagic || length < 0 || length > maxTextBytes
                || (length > 0 && ! readExactly (text.get(), length, 1000)))
            {
                if (threadShouldExit())
                    break;

                // Not a notice of ours: start again on fresh FIFOs.
                closePipe();

                if (! openPipe())
                    break;

                continue;
            }

            deliver (juce::String::fromUTF8 (text.get(), length));
        }
    }

    void deliver (juce::String const& commandLine)
    {
        juce::MessageManager::callAsync ([handlerToCall = handler, stillAlive = alive, commandLine]
        {
            if (*stillAlive && *handlerToCall)
                (*handlerToCall) (commandLine);
        });
    }
};

//==============================================================================
SecondLaunchNotice::SecondLaunchNotice (Handler onSecondLaunch)
    : listener (std::make_unique<Listener> (std::move (onSecondLaunch)))
{
}

SecondLaunchNotice::~SecondLaunchNotice() = default;

bool SecondLaunchNotice::isListening() const
{
    return listener->isListening();
}

bool SecondLaunchNotice::tellRunningInstance (juce::String const& commandLine, int timeoutMs)
{
    if (inspect (pipeBase() + "_in") != Fifo::ours || inspect (pipeBase() + "_out") != Fifo::ours)
        return false;

    auto text = cutToBytes (commandLine, maxTextBytes);
    auto textBytes = (int) text.getNumBytesAsUTF8();

    juce::MemoryBlock notice ((size_t) (headerBytes + textBytes), true);
    auto* bytes = static_cast<juce::uint8*> (notice.getData());
    auto putLittleEndian = [] (juce::uint8* at, juce::uint32 value)
    {
        for (int i = 0; i < 4; ++i)
            at[i] = (juce::uint8) (value >> (8 * i));
    };

    putLittleEndian (bytes, noticeMagic);
    putLittleEndian (bytes + 4, (juce::uint32) textBytes);
    std::memcpy (bytes + headerBytes, text.toRawUTF8(), (size_t) textBytes);

    juce::NamedPipe pipe;

    if (! pipe.openExisting (pipeBase()))
        return false;

    return pipe.write (notice.getData(), (int) notice.getSize(), timeoutMs) == (int) notice.getSize();
}

juce::File SecondLaunchNotice::getPipeFolder()
{
    if (auto const* runtime = std::getenv ("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/')
    {
        juce::File folder { juce::String (juce::CharPointer_UTF8 (runtime)) };

        if (folder.isDirectory())
            return folder;
    }

    return juce::File ("/tmp");
}

juce::String SecondLaunchNotice::getPipeName()
{
    return "Corvelline-" + juce::String ((juce::int64) geteuid());
}
