#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <optional>

/** Peers that speak the system's wire formats byte by byte, written without
    the system's own connection classes, so that tests check what really
    travels. Their waits are bounded; with setPumping (true) they run the
    message loop meanwhile (message thread only), for code under test that
    works there. */
namespace WirePeer
{
    /** A frame as peers write it: magic 0xF2B49E2C and the payload length, both
        32-bit little-endian, then the payload. */
    juce::MemoryBlock frame (juce::MemoryBlock const& payload);
    juce::MemoryBlock frame (juce::String const& text);

    /** A payload as text: its UTF-8 bytes up to the first zero, so that a
        tree's payload reads as the tree's type. */
    juce::String textOf (juce::MemoryBlock const& payload);

    /** One TCP connection of a raw peer. */
    class Stream
    {
    public:
        explicit Stream (std::unique_ptr<juce::StreamingSocket> socketToUse);

        /** Connects to host:port; null when that fails. */
        static std::unique_ptr<Stream> connect (juce::String const& host, int port, int timeoutMs = 2000);

        /** Connects from localAddress, one of this machine's own addresses, to
            a listener on all of them: it connects to port at localAddress
            itself, and the system takes a local destination as the source too
            (for a secondary address, once its local route names it as the
            source). */
        static std::unique_ptr<Stream> connectFrom (juce::String const& localAddress, int port)
        {
            return connect (localAddress, port);
        }

        void setPumping (bool shouldPump) { pumping = shouldPump; }

        bool writeBytes (void const* data, size_t size);
        bool writeBytes (juce::MemoryBlock const& block) { return writeBytes (block.getData(), block.getSize()); }
        bool writeFrame (juce::MemoryBlock const& payload) { return writeBytes (frame (payload)); }
        bool writeFrame (juce::String const& text) { return writeBytes (frame (text)); }

        /** Reads exactly 'size' bytes within timeoutMs; nothing when the time
            runs out (what came so far is kept for the next read) or the
            connection ends first. */
        std::optional<juce::MemoryBlock> readBytes (size_t size, int timeoutMs);

        /** Reads one frame and returns its payload; checks the magic number. */
        std::optional<juce::MemoryBlock> readFrame (int timeoutMs = 5000);

        /** The next payload as text (see textOf), or "(nothing)" when no frame
            comes within timeoutMs. */
        juce::String readText (int timeoutMs = 3000);

        /** The texts of the frames that come within timeoutMs, up to and
            including the first that is 'last'. */
        juce::StringArray readTextsUntil (juce::String const& last, int timeoutMs = 3000);

        /** True when no frame comes within ms. */
        bool isSilentFor (int ms = 300) { return ! readFrame (ms).has_value(); }

        /** The texts of the frames that come until none has come for quietMs. */
        juce::StringArray readTexts (int quietMs = 300);
        void drain (int quietMs = 300) { readTexts (quietMs); }

        /** True when the peer closed the connection within timeoutMs (what
            comes before is dropped). */
        bool waitForClose (int timeoutMs);

        void close();
        juce::StreamingSocket& getSocket() { return *socket; }

    private:
        int waitReadable (int timeoutMs);
        bool fill (size_t size, juce::uint32 deadline);   // until 'pending' holds size bytes
        juce::MemoryBlock take (size_t size);             // the first size bytes of 'pending'

        std::unique_ptr<juce::StreamingSocket> socket;
        juce::MemoryBlock pending;   // bytes of a read that ran out of time
        bool pumping = false;
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
        int getBoundPort() const { return socket.getBoundPort(); }

        void setPumping (bool shouldPump) { pumping = shouldPump; }

        struct Received
        {
            juce::MemoryBlock bytes;
            juce::String text;      // the bytes as text (each byte one character)
            juce::String senderIP;
            int senderPort = 0;
        };

        /** The next datagram within timeoutMs, or nothing. */
        std::optional<Received> receive (int timeoutMs = 5000);

        /** The next datagram's text, or "(nothing)" when none comes within timeoutMs. */
        juce::String receiveText (int timeoutMs = 3000);

        bool send (juce::String const& host, int port, juce::String const& text);
        bool sendBytes (juce::String const& host, int port, void const* data, size_t size);

    private:
        juce::DatagramSocket socket { true };
        bool bound = false;
        bool pumping = false;
    };
}
