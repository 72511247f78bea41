#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <optional>

/** Peers that speak the system's wire formats byte by byte, written without
    the system's own connection classes, so that tests check what really
    travels. */
namespace WirePeer
{
    /** A frame as peers write it: magic 0xF2B49E2C and the payload length, both
        32-bit little-endian, then the payload. */
    juce::MemoryBlock frame (juce::MemoryBlock const& payload);
    juce::MemoryBlock frame (juce::String const& text);

    /** One TCP connection of a raw peer. */
    class Stream
    {
    public:
        explicit Stream (std::unique_ptr<juce::StreamingSocket> socketToUse);

        /** Connects to host:port; null when that fails. */
        static std::unique_ptr<Stream> connect (juce::String const& host, int port, int timeoutMs = 2000);

        bool writeBytes (void const* data, size_t size);
        bool writeBytes (juce::MemoryBlock const& block) { return writeBytes (block.getData(), block.getSize()); }
        bool writeFrame (juce::MemoryBlock const& payload) { return writeBytes (frame (payload)); }
        bool writeFrame (juce::String const& text) { return writeBytes (frame (text)); }

        /** Reads exactly 'size' bytes within timeoutMs; nothing when the time
            runs out or the connection ends first. */
        std::optional<juce::MemoryBlock> readBytes (size_t size, int timeoutMs);

        /** Reads one frame and returns its payload; checks the magic number. */
        std::optional<juce::MemoryBlock> readFrame (int timeoutMs = 5000);

        /** True when the peer closed the connection within timeoutMs. */
        bool waitForClose (int timeoutMs);

        void close();
        juce::StreamingSocket& getSocket() { return *socket; }

    private:
        std::unique_ptr<juce::StreamingSocket> socket;
    };

    /** A raw TCP listener. */
    class Listener
    {
    public:
        /** Listens on port at address (empty: all local addresses). */
        explicit Listener (int port, juce::String const& address = {});
        bool isListening() const { return listening; }

        /** The next connection within timeoutMs, or null. */
        std::unique_ptr<Stream> accept (int timeoutMs = 5000);

    private:
        juce::StreamingSocket socket;
        bool listening = false;
    };

    /** A raw UDP socket. */
    class Datagrams
    {
    public:
        /** Bound to port (0: any) at address (empty: all local addresses). */
        explicit Datagrams (int port, juce::String const& address = {});
        bool isBound() const { return bound; }

        struct Received
        {
            juce::MemoryBlock bytes;
            juce::String text;      // the bytes as text (each byte one character)
            juce::String senderIP;
            int senderPort = 0;
        };

        /** The next datagram within timeoutMs, or nothing. */
        std::optional<Received> receive (int timeoutMs = 5000);

        bool send (juce::String const& host, int port, juce::String const& text);

    private:
        juce::DatagramSocket socket { true };
        bool bound = false;
    };
}
