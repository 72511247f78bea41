#pragma once

#include "support/LogCapture.h"

#include "ipc/IPCServer.h"
#include "support/TestEnvironment.h"

#include <juce_data_structures/juce_data_structures.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

/*  Raw peers of the cluster server, written on POSIX sockets so that the wire
    is checked independently of the system's own client: datagrams as bytes,
    control frames assembled byte by byte (magic 0xF2B49E2C and length, both
    little-endian). Every wait is bounded and pumps the message loop, where the
    server runs removals and dialogs. */
namespace ServerPeers
{
    void pump (int ms);
    void addAddress (juce::String const& address);   // to t0: /24 in 192.168.77.x, else /32

    /** A UDP socket bound to a local address and a port the system chose. */
    struct DatagramPeer
    {
        explicit DatagramPeer (juce::String const& localAddress = TestEnvironment::testAddress);
        ~DatagramPeer();

        void send (std::string const& bytes, juce::String const& to = TestEnvironment::testAddress, int port = 25476);

        /** The next datagram within timeoutMs, or nothing. */
        std::optional<std::string> receive (int timeoutMs = 2000, int* fromPort = nullptr);

        int fd = -1;
        int port = 0;
        juce::String address;
    };

    /** A control frame, assembled byte by byte. */
    std::string frame (std::string const& payload);

    /** A TCP peer of the control connection. */
    struct FramePeer
    {
        explicit FramePeer (juce::String const& localAddress = TestEnvironment::testAddress);
        ~FramePeer();

        void sendRaw (std::string const& bytes);
        void send (juce::String const& text)        { sendRaw (frame (text.toStdString())); }
        void send (juce::ValueTree const& tree);

        std::optional<std::string> receive (int timeoutMs = 2000);                          // the next payload
        std::vector<std::string> receiveUntil (std::string const& last, int timeoutMs = 3000); // 'last' included
        bool silentFor (int ms = 300);
        bool closedWithin (int timeoutMs);

        void close();

        int fd = -1;
        std::string buffer;
        bool closed = false;
    };

    juce::ValueTree treeOf (std::string const& payload);

    /** A "newMonitorInfo" or "changedMonitorInfo" tree: one monitor filling the desktop. */
    juce::ValueTree monitorTree (bool isNew, int width, int height);

    /** A machine that joined the server. */
    struct Joined
    {
        juce::String ip;
        int id = 0;
        int port = 0;
        std::unique_ptr<DatagramPeer> udp;
        std::unique_ptr<FramePeer> tcp;
    };

    /** The server under test with a stored cluster ID, fresh settings and a log. */
    struct ServerFixture : ::testing::Test
    {
        static constexpr int clusterID = 4711;

        void SetUp() override;
        void TearDown() override;

        void startServer()     { server = std::make_unique<IPCServer>(); }
        void destroyServer()   { server.reset(); }

        /** Asks with the cluster ID from 'ip' and returns the acceptance. */
        Joined accept (juce::String const& ip);

        /** Accepted, connected, and through the joining sequence without "Send
            monitors"; all it was sent so far is read and dropped. */
        Joined join (juce::String const& ip, int width = 1920, int height = 1080,
                     juce::String const& os = "MAC", bool isServer = false);

        /** Drops what arrives for the machines until they are silent for ms. */
        void drain (std::vector<Joined*> const& peers, int ms = 300);

        juce::String storedLayouts() const;

        std::unique_ptr<LogCapture> log;
        std::unique_ptr<IPCServer> server;
    };
}
