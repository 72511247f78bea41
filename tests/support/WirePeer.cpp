#include "support/WirePeer.h"

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

//==============================================================================
Stream::Stream (std::unique_ptr<juce::StreamingSocket> socketToUse) : socket (std::move (socketToUse)) {}

std::unique_ptr<Stream> Stream::connect (juce::String const& host, int port, int timeoutMs)
{
    auto s = std::make_unique<juce::StreamingSocket>();

    if (! s->connect (host, port, timeoutMs))
        return nullptr;

    return std::make_unique<Stream> (std::move (s));
}

bool Stream::writeBytes (void const* data, size_t size)
{
    return socket != nullptr && socket->write (data, (int) size) == (int) size;
}

std::optional<juce::MemoryBlock> Stream::readBytes (size_t size, int timeoutMs)
{
    juce::MemoryBlock block (size);
    size_t got = 0;
    auto const deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (got < size)
    {
        auto now = juce::Time::getMillisecondCounter();

        if (now >= deadline)
            return std::nullopt;

        auto ready = socket->waitUntilReady (true, (int) juce::jmin<juce::uint32> (100, deadline - now));

        if (ready < 0)
            return std::nullopt;

        if (ready == 0)
            continue;

        auto n = socket->read (static_cast<char*> (block.getData()) + got, (int) juce::jmin<size_t> (size - got, 1 << 20), false);

        if (n <= 0)
            return std::nullopt;

        got += (size_t) n;
    }

    return block;
}

std::optional<juce::MemoryBlock> Stream::readFrame (int timeoutMs)
{
    auto header = readBytes (8, timeoutMs);

    if (! header)
        return std::nullopt;

    auto const* bytes = static_cast<juce::uint8 const*> (header->getData());

    if (getLittleEndian32 (bytes) != 0xF2B49E2Cu)
        return std::nullopt;

    auto length = getLittleEndian32 (bytes + 4);

    if (length == 0)
        return juce::MemoryBlock();

    return readBytes (length, timeoutMs);
}

bool Stream::waitForClose (int timeoutMs)
{
    auto const deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (juce::Time::getMillisecondCounter() < deadline)
    {
        auto ready = socket->waitUntilReady (true, 50);

        if (ready < 0)
            return true;

        if (ready > 0)
        {
            char buffer[4096];

            if (socket->read (buffer, (int) sizeof (buffer), false) <= 0)
                return true;
        }
    }

    return false;
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
    if (socket.waitUntilReady (true, timeoutMs) != 1)
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

bool Datagrams::send (juce::String const& host, int port, juce::String const& text)
{
    return socket.write (host, port, text.toRawUTF8(), (int) text.getNumBytesAsUTF8()) == (int) text.getNumBytesAsUTF8();
}
} // namespace WirePeer
