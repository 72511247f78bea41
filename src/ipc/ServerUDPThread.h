#pragma once

#include "ipc/IPCServer.h"
#include "ipc/RivalServerSearch.h"

/** The server's discovery thread ("ServerUDPThread").

    Answers the discovery requests on UDP port 25476: a machine of the server's
    cluster is accepted at once, a machine without a cluster ID only after the
    user at the server agrees in an "Accept?" dialog, a machine of another
    cluster is rejected. A requester that gives up waiting closes its dialog
    with a cancel datagram. An address has one dialog at a time, however often
    it asks, and at most four are open at once: a requester beyond them is
    told to wait, without a dialog, and gets one as one closes (up to sixteen
    such askers are kept, oldest first; a further one must ask again).

    The dialogs live on the message thread and may outlive the run of this
    thread and the server: what the run shares with them (the open dialogs by
    address, and the way back to accept) sits in an object they co-own, and
    once the run has ended their answers do nothing and the dialogs still open
    are closed.

    It also looks out for other servers of the cluster (RivalServerSearch):
    it sends the probes from its socket, answers the probes of others without
    registering a machine, and, once this server gives way to another, answers
    nobody any more and tells the owner (onGivingWay). */
class IPCServer::UDPThread : public juce::Thread
{
public:
    explicit UDPThread (IPCServer* ownerToUse);

    /** Stops the thread (see stopPromptly) and deletes the socket. */
    ~UDPThread() override;

    void run() override;

    /** Registers the machine at ip and replies the acceptance to ip, port.
        Called on the discovery thread and, for a dialog's "Yes", on the message
        thread. */
    void accept (juce::String const& ip, int port);

    /** Asks the thread to exit and waits until it has. Every wait in the run is
        bounded (100 ms for a datagram or a writable socket, the lock for as long
        as a send may take), so this returns promptly; unlike
        juce::Thread::stopThread it never kills the thread, which could leave the
        server's lock held for ever. */
    void stopPromptly();

    std::unique_ptr<juce::DatagramSocket> socket;
    IPCServer* owner = nullptr;
    int clusterID = -1;

    /** The log lines of one kind of reply. */
    struct Reply
    {
        const char* notReady;
        const char* written;
        const char* failed;
    };

private:
    struct PendingDialogs;

    void handle (juce::String const& text, juce::String const& ip, int port,
                 std::shared_ptr<PendingDialogs> const& pending);
    void askUser (juce::String const& ip, int port, std::shared_ptr<PendingDialogs> const& pending);
    void closeDialog (juce::String const& ip, std::shared_ptr<PendingDialogs> const& pending);
    void reply (Reply const& kind, juce::String const& text, juce::String const& ip, int port);
    bool waitUntilWritable (int timeoutMs) const;

    // Other servers of the cluster: datagrams from port 25476 are theirs.
    void probeIfDue();
    void handleFromServer (juce::String const& text, juce::String const& ip);
    void writeQuietly (juce::String const& text, juce::String const& ip, int port);

    std::unique_ptr<RivalServerSearch> rivals;   // made by run
    juce::String ownProbeSource;                 // the address the last probe came from

    static void openDialog (std::shared_ptr<PendingDialogs> const& pending, juce::String const& ip, int port);
    static void openNextWaiting (std::shared_ptr<PendingDialogs> const& pending);

    juce::CriticalSection writeLock;   // the socket is written from two threads

    JUCE_DECLARE_NON_COPYABLE (UDPThread)
};
