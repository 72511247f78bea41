#pragma once

#include <juce_core/juce_core.h>

/** The TCP sockets of the system's connections, as plain descriptors (close
    them with ::close). Every connected socket has the options the system has
    always used: 64 KB send and receive buffers and no delay (TCP_NODELAY). */
namespace TcpSocket
{
    /** A socket connected to host:port within timeoutMs, in blocking mode; -1
        when that fails. */
    int connectTo (juce::String const& host, int port, int timeoutMs);

    /** A non-blocking socket listening on port at address (empty: every local
        address), with SO_REUSEADDR; -1 when that fails. */
    int listenOn (int port, juce::String const& address);

    /** The next connection waiting at a listening socket, in blocking mode,
        and in 'peerAddress' the dotted address it comes from; -1 when none
        waits or it failed (errno tells). */
    int acceptFrom (int listener, juce::String& peerAddress);
}
