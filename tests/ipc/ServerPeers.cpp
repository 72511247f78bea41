#include "ServerPeers.h"

#include "app/SingletonApplicationProperties.h"
#include "ipc/Machine.h"

#include <juce_events/juce_events.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ServerPeers
{
namespace
{
sockaddr_in socketAddress (juce::String const& address, int port)
{
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons ((uint16_t) port);
    inet_pton (AF_INET, address.toRawUTF8(), &a.sin_addr);
    return a;
}

int openBound (int type, juce::String const& localAddress)
{
    int fd = ::socket (AF_INET, type, 0);
    int on = 1;
    setsockopt (fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof (on));
    auto local = socketAddress (localAddress, 0);
    EXPECT_EQ (::bind (fd, (sockaddr*) &local, sizeof (local)), 0) << "bind to " << localAddress;
    return fd;
}

/** Waits until fd is readable, pumping the message loop; false on time-out. */
bool waitReadable (int fd, juce::int64 deadline)
{
    for (;;)
    {
        pollfd entry { fd, POLLIN, 0 };

        if (::poll (&entry, 1, 2) > 0)
            return true;

        if (juce::Time::currentTimeMillis() >= deadline)
            return false;

        pump (3);
    }
}
} // namespace

void pump (int ms)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil (ms);
}

void addAddress (juce::String const& address)
{
    if (address == TestEnvironment::testAddress)
        return;

    auto const prefix = address.startsWith ("192.168.77.") ? "/24" : "/32";
    TestEnvironment::runIp ("addr add " + address + prefix + " dev t0");
}

//==============================================================================
DatagramPeer::DatagramPeer (juce::String const& localAddress)
    : fd (openBound (SOCK_DGRAM, localAddress)), address (localAddress)
{
    sockaddr_in bound {};
    socklen_t length = sizeof (bound);
    getsockname (fd, (sockaddr*) &bound, &length);
    port = ntohs (bound.sin_port);
}

DatagramPeer::~DatagramPeer() { ::close (fd); }

void DatagramPeer::send (std::string const& bytes, juce::String const& to, int toPort)
{
    auto target = socketAddress (to, toPort);
    EXPECT_EQ (::sendto (fd, bytes.data(), bytes.size(), 0, (sockaddr*) &target, sizeof (target)), (ssize_t) bytes.size());
}

std::optional<std::string> DatagramPeer::receive (int timeoutMs, int* fromPort)
{
    if (! waitReadable (fd, juce::Time::currentTimeMillis() + timeoutMs))
        return std::nullopt;

    char data[2048];
    sockaddr_in from {};
    socklen_t length = sizeof (from);
    auto n = ::recvfrom (fd, data, sizeof (data), 0, (sockaddr*) &from, &length);

    if (fromPort != nullptr)
        *fromPort = ntohs (from.sin_port);

    return n < 0 ? std::nullopt : std::optional<std::string> (std::string (data, (size_t) n));
}

//==============================================================================
FramePeer::FramePeer (juce::String const& localAddress)
    : fd (openBound (SOCK_STREAM, localAddress))
{
    auto server = socketAddress (TestEnvironment::testAddress, 25477);
    EXPECT_EQ (::connect (fd, (sockaddr*) &server, sizeof (server)), 0) << "connect to the server";
}

FramePeer::~FramePeer() { close(); }

void FramePeer::close()
{
    if (fd >= 0)
        ::close (fd);

    fd = -1;
}

void FramePeer::sendRaw (std::string const& bytes)
{
    EXPECT_EQ (::send (fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t) bytes.size());
}

void FramePeer::send (juce::ValueTree const& tree)
{
    juce::MemoryOutputStream out;
    tree.writeToStream (out);
    sendRaw (frame (std::string ((char const*) out.getData(), out.getDataSize())));
}

std::optional<std::string> FramePeer::receive (int timeoutMs)
{
    auto const deadline = juce::Time::currentTimeMillis() + timeoutMs;

    for (;;)
    {
        if (buffer.size() >= 8)
        {
            auto const* b = (unsigned char const*) buffer.data();
            EXPECT_EQ (std::string (buffer, 0, 4), std::string ("\x2c\x9e\xb4\xf2", 4)) << "magic number";
            auto const length = (size_t) b[4] | (size_t) b[5] << 8 | (size_t) b[6] << 16 | (size_t) b[7] << 24;

            if (buffer.size() >= 8 + length)
            {
                auto payload = buffer.substr (8, length);
                buffer.erase (0, 8 + length);
                return payload;
            }
        }

        if (closed || ! waitReadable (fd, deadline))
            return std::nullopt;

        char data[65536];
        auto n = ::recv (fd, data, sizeof (data), 0);

        if (n <= 0)
            closed = true;
        else
            buffer.append (data, (size_t) n);
    }
}

std::vector<std::string> FramePeer::receiveUntil (std::string const& last, int timeoutMs)
{
    std::vector<std::string> payloads;
    auto const deadline = juce::Time::currentTimeMillis() + timeoutMs;

    while (auto payload = receive ((int) std::max<juce::int64> (1, deadline - juce::Time::currentTimeMillis())))
    {
        payloads.push_back (*payload);

        if (*payload == last)
            break;
    }

    return payloads;
}

bool FramePeer::silentFor (int ms)
{
    auto payload = receive (ms);
    EXPECT_FALSE (payload.has_value()) << "unexpected: " << payload.value_or ("");
    return ! payload.has_value();
}

bool FramePeer::closedWithin (int timeoutMs)
{
    auto const deadline = juce::Time::currentTimeMillis() + timeoutMs;

    while (! closed && juce::Time::currentTimeMillis() < deadline)
        receive (50);

    return closed;
}

//==============================================================================
std::string frame (std::string const& payload)
{
    std::string bytes = { '\x2c', '\x9e', '\xb4', '\xf2' };

    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back ((char) ((payload.size() >> shift) & 0xff));

    return bytes + payload;
}

juce::ValueTree treeOf (std::string const& payload)
{
    return juce::ValueTree::readFromData (payload.data(), payload.size());
}

juce::ValueTree monitorTree (bool isNew, int width, int height)
{
    juce::ValueTree tree (isNew ? "newMonitorInfo" : "changedMonitorInfo");

    for (auto const* type : { "totalArea", "monitor" })
    {
        juce::ValueTree child (type);
        child.setProperty ("x", 0, nullptr);
        child.setProperty ("y", 0, nullptr);
        child.setProperty ("width", width, nullptr);
        child.setProperty ("height", height, nullptr);
        tree.appendChild (child, nullptr);
    }

    return tree;
}


//==============================================================================
void ServerFixture::SetUp()
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    SingletonApplicationProperties::get().getUserSettings()->setValue ("clusterID", clusterID);
    log = std::make_unique<LogCapture>();
}

void ServerFixture::TearDown()
{
    destroyServer();
    pump (100);
    log.reset();
    SingletonApplicationProperties::get().closeFiles();
}

Joined ServerFixture::accept (juce::String const& ip)
{
    addAddress (ip);
    Joined joined;
    joined.ip = ip;
    joined.id = computeMachineID (ip);
    joined.udp = std::make_unique<DatagramPeer> (ip);
    joined.port = joined.udp->port;
    joined.udp->send ("DISCOVERY_REQUEST CLUSTERID: " + std::to_string (clusterID));

    auto expected = "ACCEPTED: " + std::to_string (joined.id) + " UDPPORT: " + std::to_string (joined.port)
                      + " CLUSTERID: " + std::to_string (clusterID);
    EXPECT_EQ (joined.udp->receive().value_or ("(nothing)"), expected);
    return joined;
}

Joined ServerFixture::join (juce::String const& ip, int width, int height, juce::String const& os, bool isServer)
{
    auto joined = accept (ip);
    joined.tcp = std::make_unique<FramePeer> (ip);
    joined.tcp->send ("Connected client: " + juce::String (joined.id));
    joined.tcp->send ("Operating system: " + os);
    joined.tcp->send (juce::String ("Is server: ") + (isServer ? "TRUE" : "FALSE"));
    joined.tcp->send (monitorTree (true, width, height));

    // The layout ends with this machine's own place.
    auto const own = "Display position ID: " + std::to_string (joined.id) + " x: ";
    auto const deadline = juce::Time::currentTimeMillis() + 3000;
    bool placed = false;

    while (! placed && juce::Time::currentTimeMillis() < deadline)
        if (auto payload = joined.tcp->receive (100))
            placed = payload->rfind (own, 0) == 0;

    EXPECT_TRUE (placed) << "no place for " << ip;
    return joined;
}

void ServerFixture::drain (std::vector<Joined*> const& peers, int ms)
{
    for (auto* peer : peers)
        while (peer->tcp->receive (ms)) {}
}

juce::String ServerFixture::storedLayouts() const
{
    return SingletonApplicationProperties::get().getUserSettings()->getValue ("LAYOUTS");
}
} // namespace ServerPeers
