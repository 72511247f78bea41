#pragma once

#include <juce_core/juce_core.h>

#include <memory>

class FramedConnection;

/** Accepts TCP connections on a port, each for a FramedConnection that the
    derived class makes, on a thread of its own that waits without a time-out
    and ends as soon as it is stopped.

    A derived class calls stop() first thing in its destructor: the listener's
    thread calls createConnectionObject. */
class ConnectionListener
{
public:
    explicit ConnectionListener (juce::String const& threadName);
    virtual ~ConnectionListener();

    /** Stops any listening, then listens on port at bindAddress (empty: every
        local address) and starts accepting; false when it cannot listen. */
    bool beginWaitingForSocket (int port, juce::String const& bindAddress = {});

    /** Stops accepting and closes the port; returns once the thread has ended. */
    void stop();

protected:
    /** The connection that takes the socket just accepted (it stays the
        derived class's), or null to refuse it (it is closed at once). Runs on
        the listener's thread; the connection's connectionMade runs there
        next, before its reader starts. */
    virtual FramedConnection* createConnectionObject() = 0;

    /** Called on the listener's thread once the connection made by
        createConnectionObject has taken its socket; the listener touches it
        no more. */
    virtual void connectionTaken (FramedConnection& /*connection*/) {}

    /** Whether a connection from peerAddress is taken at all; asked on the
        listener's thread before createConnectionObject. */
    virtual bool acceptsConnectionFrom (juce::String const& /*peerAddress*/)  { return true; }

private:
    class Acceptor;

    juce::String const name;
    std::unique_ptr<Acceptor> acceptor;

    JUCE_DECLARE_NON_COPYABLE (ConnectionListener)
};
