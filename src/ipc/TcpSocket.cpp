#include "ipc/TcpSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TcpSocket
{
namespace
{
constexpr int bufferBytes = 65536;

void setBlocking (int descriptor, bool shouldBlock)
{
    auto const flags = ::fcntl (descriptor, F_GETFL);
    ::fcntl (descriptor, F_SETFL, shouldBlock ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

int withOptions (int descriptor)
{
    int const size = bufferBytes, on = 1;
    ::setsockopt (descriptor, SOL_SOCKET, SO_RCVBUF, &size, sizeof (size));
    ::setsockopt (descriptor, SOL_SOCKET, SO_SNDBUF, &size, sizeof (size));
    ::setsockopt (descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof (on));
    return descriptor;
}

/** Connects a new socket to one address; -1 when that fails. */
int connectOne (addrinfo const& address, int timeoutMs)
{
    auto const descriptor = ::socket (address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);

    if (descriptor < 0)
        return -1;

    bool connected = ::connect (descriptor, address.ai_addr, address.ai_addrlen) == 0;

    if (! connected && errno == EINPROGRESS)
    {
        pollfd writable { descriptor, POLLOUT, 0 };
        int error = 0;
        socklen_t length = sizeof (error);
        connected = ::poll (&writable, 1, timeoutMs) == 1
                     && ::getsockopt (descriptor, SOL_SOCKET, SO_ERROR, &error, &length) == 0
                     && error == 0;
    }

    if (! connected)
    {
        ::close (descriptor);
        return -1;
    }

    setBlocking (descriptor, true);
    return withOptions (descriptor);
}
} // namespace

int connectTo (juce::String const& host, int port, int timeoutMs)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;

    if (port <= 0 || port > 65535 || ::getaddrinfo (host.toRawUTF8(), juce::String (port).toRawUTF8(), &hints, &found) != 0)
        return -1;

    int descriptor = -1;

    for (auto* address = found; address != nullptr && descriptor < 0; address = address->ai_next)
        descriptor = connectOne (*address, timeoutMs);

    ::freeaddrinfo (found);
    return descriptor;
}

int listenOn (int port, juce::String const& address)
{
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons ((uint16_t) port);
    local.sin_addr.s_addr = htonl (INADDR_ANY);

    if (port < 0 || port > 65535 || (address.isNotEmpty() && ::inet_pton (AF_INET, address.toRawUTF8(), &local.sin_addr) != 1))
        return -1;

    auto const descriptor = ::socket (AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int const on = 1;

    if (descriptor < 0)
        return -1;

    if (::setsockopt (descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof (on)) != 0
         || ::bind (descriptor, reinterpret_cast<sockaddr*> (&local), sizeof (local)) != 0
         || ::listen (descriptor, SOMAXCONN) != 0)
    {
        ::close (descriptor);
        return -1;
    }

    return descriptor;
}

int acceptFrom (int listener, juce::String& peerAddress)
{
    sockaddr_in peer {};
    socklen_t length = sizeof (peer);
    auto const descriptor = ::accept4 (listener, reinterpret_cast<sockaddr*> (&peer), &length, SOCK_CLOEXEC);

    if (descriptor < 0)
        return -1;

    char text[INET_ADDRSTRLEN] = {};
    peerAddress = ::inet_ntop (AF_INET, &peer.sin_addr, text, sizeof (text)) != nullptr ? juce::String (text) : juce::String();
    return withOptions (descriptor);
}
} // namespace TcpSocket
