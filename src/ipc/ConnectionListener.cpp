#include "ipc/ConnectionListener.h"

#include "core/Logging.h"
#include "ipc/FramedConnection.h"
#include "ipc/TcpSocket.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

/** The listening socket and the thread that waits on it; stop() wakes the
    thread through an event descriptor. */
class ConnectionListener::Acceptor : public juce::Thread
{
public:
    Acceptor (ConnectionListener& ownerToUse, juce::String const& nameToUse, int listeningSocket)
        : juce::Thread (nameToUse),
          owner (ownerToUse),
          listener (listeningSocket),
          wakeUp (::eventfd (0, EFD_CLOEXEC))
    {
    }

    ~Acceptor() override
    {
        signalThreadShouldExit();
        juce::uint64 const one = 1;
        [[maybe_unused]] auto const written = ::write (wakeUp, &one, sizeof (one));
        waitForThreadToExit (-1);   // woken just above

        ::close (wakeUp);
        ::close (listener);
    }

    bool isReady() const noexcept { return wakeUp >= 0; }

    void run() override
    {
        while (! threadShouldExit())
        {
            pollfd waiting[] { { listener, POLLIN, 0 }, { wakeUp, POLLIN, 0 } };

            if (::poll (waiting, 2, -1) < 0 && errno != EINTR)
                break;

            if (threadShouldExit() || waiting[1].revents != 0)
                break;

            if (waiting[0].revents == 0)
                continue;

            juce::String peer;
            auto const accepted = TcpSocket::acceptFrom (listener, peer);

            if (accepted < 0)
            {
                // Out of descriptors, say: the port stays readable, so wait a little instead of spinning.
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
                    wait (100);

                continue;
            }

            auto* connection = owner.acceptsConnectionFrom (peer) ? owner.createConnectionObject() : nullptr;

            if (connection != nullptr)
            {
                connection->takeSocket (accepted, peer);
                owner.connectionTaken (*connection);
            }
            else
                ::close (accepted);
        }
    }

private:
    ConnectionListener& owner;
    int const listener;
    int const wakeUp;
};

//==============================================================================
ConnectionListener::ConnectionListener (juce::String const& threadName) : name (threadName) {}

ConnectionListener::~ConnectionListener()
{
    stop();
}

bool ConnectionListener::beginWaitingForSocket (int port, juce::String const& bindAddress)
{
    stop();

    auto const listening = TcpSocket::listenOn (port, bindAddress);

    if (listening < 0)
        return false;

    auto fresh = std::make_unique<Acceptor> (*this, name, listening);

    if (! fresh->isReady() || ! fresh->startThread())
        return false;   // the acceptor closes the port

    acceptor = std::move (fresh);
    return true;
}

void ConnectionListener::stop()
{
    acceptor.reset();
}
