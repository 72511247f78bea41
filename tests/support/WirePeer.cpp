#include "support/WirePeer.h"

#include "support/TestEnvironment.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace WirePeer
{
namespace
{
void putLittleEndian32 (juce::uint8* out, juce::uint32 value)
{
    out[0] = (juce::uint8) (value & 0xff);
    out[1] = (juce::uint8) ((value >> 8) & 0xff);
    out[2] = (juce::uint8) ((value >> 16) & 0xff);
    out[3] = (juce::uint8) ((value >> 24) & 0xff);
}

juce::uint32 getLittleEndian32 (juce::uint8 const* in)
{
    return (juce::uint32) in[0] | ((juce::uint32) in[1] << 8) | ((juce::uint32) in[2] << 16) | ((juce::uint32) in[3] << 24);
}

juce::uint32 deadlineIn (int ms)   { return juce::Time::getMillisecondCounter() + (juce::uint32) juce::jmax (0, ms); }

int msLeft (juce::uint32 deadline)
{
    auto const now = juce::Time::getMillisecondCounter();
    return now >= deadline ? 0 : (int) (deadline - now);
}

/** 1 when the socket can be read within timeoutMs, 0 on time-out, -1 on error;
    when pumping, the message loop runs meanwhile. */
template <typename Socket>
int waitReadable (Socket& socket, int timeoutMs, bool pumping)
{
    auto const deadline = deadlineIn (timeoutMs);

    for (;;)
    {
        auto const left = msLeft (deadline);
        auto const ready = socket.waitUntilReady (true, pumping ? 0 : juce::jmin (100, left));

        if (ready != 0 || left == 0)
            return ready;

        if (pumping)
            TestEnvironment::pump (juce::jmin (2, left));
    }
}
} // namespace

juce::MemoryBlock frame (juce::MemoryBlock const& payload)
{
    juce::MemoryBlock block (8 + payload.getSize());
    auto* bytes = static_cast<juce::uint8*> (block.getData());
    putLittleEndian32 (bytes, 0xF2B49E2Cu);
    putLittleEndian32 (bytes + 4, (juce::uint32) payload.getSize());

    if (payload.getSize() > 0)
        std::memcpy (bytes + 8, payload.getData(), payload.getSize());

    return block;
}

juce::MemoryBlock frame (juce::String const& text)
{
    return frame (juce::MemoryBlock (text.toRawUTF8(), text.getNumBytesAsUTF8()));
}

juce::String textOf (juce::MemoryBlock const& payload)
{
    auto const* bytes = static_cast<char const*> (payload.getData());
    auto const length = std::find (bytes, bytes + payload.getSize(), '\0') - bytes;
    return juce::String::fromUTF8 (bytes, (int) length);
}

//==============================================================================
Stream::Stream (std::unique_ptr<juce::StreamingSocket> socketToUse) : socket (std::move (socketToUse)) {}

std::unique_ptr<Stream> Stream::connect (juce::String const& host, int port, int timeoutMs)
{
    auto s = std::make_unique<juce::StreamingSocket>();

    if (! s->connect (host, port, timeoutMs))
        return nullptr;

    return std::make_unique<Stream> (std::move (s));
}

int Stream::waitReadable (int timeoutMs)
{
    return WirePeer::waitReadable (*socket, timeoutMs, pumping);
}

bool Stream::writeBytes (void const* data, size_t size)
{
    // Reading leaves the socket non-blocking: a large write goes out in parts.
    for (auto const* next = static_cast<char const*> (data); socket != nullptr && size > 0;)
    {
        if (socket->waitUntilReady (false, 10000) != 1)
            return false;

        auto const n = socket->write (next, (int) size);

        if (n < 0 && errno != EAGAIN)
            return false;

        next += juce::jmax (0, n);
        size -= (size_t) juce::jmax (0, n);
    }

    return socket != nullptr;
}

bool Stream::fill (size_t size, juce::uint32 deadline)
{
    while (pending.getSize() < size)
    {
        if (waitReadable (msLeft (deadline)) != 1)
            return false;

        // No more than is asked for: what is not read stays visible to the socket's readiness.
        std::vector<char> chunk (juce::jmin<size_t> (size - pending.getSize(), 1 << 20));
        auto const n = socket->read (chunk.data(), (int) chunk.size(), false);

        if (n <= 0)
            return false;

        pending.append (chunk.data(), (size_t) n);
    }

    return true;
}

juce::MemoryBlock Stream::take (size_t size)
{
    juce::MemoryBlock block (pending.getData(), size);
    pending.removeSection (0, size);
    return block;
}

std::optional<juce::MemoryBlock> Stream::readBytes (size_t size, int timeoutMs)
{
    if (! fill (size, deadlineIn (timeoutMs)))
        return std::nullopt;

    return take (size);
}

std::optional<juce::MemoryBlock> Stream::readFrame (int timeoutMs)
{
    auto const deadline = deadlineIn (timeoutMs);

    if (! fill (8, deadline))
        return std::nullopt;

    auto const* header = static_cast<juce::uint8 const*> (pending.getData());

    if (getLittleEndian32 (header) != 0xF2B49E2Cu)
        return std::nullopt;

    auto const length = (size_t) getLittleEndian32 (header + 4);

    if (! fill (8 + length, deadline))
        return std::nullopt;

    take (8);
    return take (length);
}

juce::String Stream::readText (int timeoutMs)
{
    auto payload = readFrame (timeoutMs);
    return payload ? textOf (*payload) : juce::String ("(nothing)");
}

juce::StringArray Stream::readTextsUntil (juce::String const& last, int timeoutMs)
{
    juce::StringArray texts;
    auto const deadline = deadlineIn (timeoutMs);

    while (texts.isEmpty() || texts.strings.getLast() != last)
    {
        auto payload = readFrame (msLeft (deadline));

        if (! payload)
            break;

        texts.add (textOf (*payload));
    }

    return texts;
}

juce::StringArray Stream::readTexts (int quietMs)
{
    juce::StringArray texts;

    while (auto payload = readFrame (quietMs))
        texts.add (textOf (*payload));

    return texts;
}

bool Stream::waitForClose (int timeoutMs)
{
    pending.reset();
    auto const deadline = deadlineIn (timeoutMs);

    for (;;)
    {
        auto const ready = waitReadable (msLeft (deadline));

        if (ready != 1)
            return ready < 0;

        char buffer[4096];

        if (socket->read (buffer, (int) sizeof (buffer), false) <= 0)
            return true;
    }
}

void Stream::close()
{
    if (socket != nullptr)
        socket->close();
}

//==============================================================================
Listener::Listener (int port, juce::String const& address)
{
    listening = socket.createListener (port, address);
}

std::unique_ptr<Stream> Listener::accept (int timeoutMs)
{
    if (! listening || socket.waitUntilReady (true, timeoutMs) != 1)
        return nullptr;

    std::unique_ptr<juce::StreamingSocket> connection (socket.waitForNextConnection());

    if (connection == nullptr)
        return nullptr;

    return std::make_unique<Stream> (std::move (connection));
}

//==============================================================================
Datagrams::Datagrams (int port, juce::String const& address)
{
    bound = socket.bindToPort (port, address);
}

std::optional<Datagrams::Received> Datagrams::receive (int timeoutMs)
{
    if (waitReadable (socket, timeoutMs, pumping) != 1)
        return std::nullopt;

    char buffer[2048];
    Received received;
    auto n = socket.read (buffer, (int) sizeof (buffer), false, received.senderIP, received.senderPort);

    if (n < 0)
        return std::nullopt;

    received.bytes = juce::MemoryBlock (buffer, (size_t) n);

    for (int i = 0; i < n; ++i)
        received.text += (juce::juce_wchar) (juce::uint8) buffer[i];

    return received;
}

juce::String Datagrams::receiveText (int timeoutMs)
{
    auto received = receive (timeoutMs);
    return received ? received->text : juce::String ("(nothing)");
}

bool Datagrams::send (juce::String const& host, int port, juce::String const& text)
{
    return sendBytes (host, port, text.toRawUTF8(), text.getNumBytesAsUTF8());
}

bool Datagrams::sendBytes (juce::String const& host, int port, void const* data, size_t size)
{
    return socket.write (host, port, data, (int) size) == (int) size;
}
} // namespace WirePeer
