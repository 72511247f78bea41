#include "ipc/ServerUDPThread.h"

#include "core/Logging.h"
#include "ipc/DiscoveryProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MulticastInterface.h"
#include "platform/MonotonicClock.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <deque>

#include <poll.h>
#include <sys/socket.h>

/** What one run of the thread shares with the message thread: the open
    "Accept?" dialogs, and the thread itself while the run lasts. The run, the
    work it posts and the dialogs' callbacks each hold it. */
struct IPCServer::UDPThread::PendingDialogs
{
    juce::CriticalSection lock;

    /** The requester's address to its dialog; an entry lives from the request
        that asks the user (the window is null until the message thread has
        opened it) until the dialog's callback, so that an address has one
        dialog at a time, also when it asks again before its dialog is open.
        The windows are only looked at on the message thread; the discovery
        thread only asks for addresses. */
    std::map<juce::String, juce::Component::SafePointer<juce::AlertWindow>> pendingAcceptDialogs;

    /** Askers told to wait while maxOpenDialogs were open, oldest first, by
        address with the port to answer: each gets its dialog as one closes,
        since a machine told to wait does not ask again by itself. */
    std::deque<std::pair<juce::String, int>> waitingAskers;

    /** The thread while its run lasts, null afterwards. */
    UDPThread* thread = nullptr;
};

namespace
{
const IPCServer::UDPThread::Reply rejectionReply { "UDPThread: socket not ready for writing rejection message",
                                                   "UDPThread: wrote rejection message",
                                                   "Writing rejection message failed" };

const IPCServer::UDPThread::Reply waitingReply { "UDPThread: socket not ready for writing waiting message",
                                                 "UDPThread: wrote waiting message",
                                                 "Writing waiting message failed" };

const IPCServer::UDPThread::Reply acceptanceReply { "UDPThread: socket not ready for writing acceptance message",
                                                    "UDPThread: wrote acceptance message",
                                                    "Writing acceptance message failed" };

constexpr int waitMs = 100;

/** Dialogs open at once: a burst of requests from many addresses must not
    bury the server's screen. Further askers are told to wait without one. */
constexpr size_t maxOpenDialogs = 4;

/** Askers kept waiting for a dialog beyond those; a further one is told to
    wait and must ask again. */
constexpr size_t maxWaitingAskers = 16;
} // namespace



IPCServer::UDPThread::UDPThread (IPCServer* ownerToUse)
    : juce::Thread ("ServerUDPThread"),
      owner (ownerToUse)
{
}

IPCServer::UDPThread::~UDPThread()
{
    stopPromptly();
    socket.reset();
}

void IPCServer::UDPThread::stopPromptly()
{
    signalThreadShouldExit();

    if (waitForThreadToExit (waitMs))
        return;

    DBGOrLog ("UDPThread: still busy after " + juce::String (waitMs) + " ms, waiting for it to finish");
    waitForThreadToExit (-1);
}

//==============================================================================
void IPCServer::UDPThread::run()
{
    auto pending = std::make_shared<PendingDialogs>();
    pending->thread = this;

    int const rawHandle = socket != nullptr ? socket->getRawSocketHandle() : -1;

    if (rawHandle >= 0)
    {
        int const on = 1;
        setsockopt (rawHandle, SOL_SOCKET, SO_REUSEPORT, &on, sizeof (on));
    }

    auto const address = pickBestMulticastInterface().toString();

    if (socket != nullptr && socket->bindToPort (DiscoveryProtocol::serverPort))
    {
        DBGOrLog ("Server: UDP port bound to " + address + " port 25476 clusterID " + juce::String (clusterID));
    }
    else
    {
        DBGOrLog ("Server: binding to " + address + "port 25476 for UDP failed");

        // The box is built on the message thread; asking for it from here must
        // not wait for that thread, which may be waiting for this one.
        juce::MessageManager::callAsync ([]
        {
            juce::AlertWindow::showMessageBoxAsync (juce::MessageBoxIconType::WarningIcon,
                                                    "Failure!", "UDP binding to 25476 failed.");
        });
    }

    owner->udpBindAttempted.signal();
    DBGOrLog ("UDPThread: waiting on 25476");

    rivals = std::make_unique<RivalServerSearch> (clusterID, owner->limits.rivalSearch,
                                                  (juce::int64) MonotonicClock::getTicks(), juce::Time::getMillisecondCounter());

    while (! threadShouldExit())
    {
        probeIfDue();

        auto const ready = socket != nullptr ? socket->waitUntilReady (true, waitMs) : -1;

        if (ready < 0)
            wait (waitMs);   // no usable socket: do not spin

        if (ready <= 0 || socket->getBoundPort() < 0)
            continue;

        char buffer[DiscoveryProtocol::maxDatagramSize];
        juce::String senderAddress;
        int senderPort = 0;
        auto const bytesRead = socket->read (buffer, (int) sizeof (buffer), false, senderAddress, senderPort);

        if (bytesRead < 1)
            continue;

        auto const text = DiscoveryProtocol::datagramText (buffer, (size_t) bytesRead);

        // A machine asks from a port of the system's choosing: this port is a server's.
        if (senderPort == DiscoveryProtocol::serverPort)
        {
            handleFromServer (text, senderAddress);
            continue;
        }

        // Having given way, this server takes no machine any more.
        if (rivals->hasGivenWay())
            continue;

        DBGOrLog ("UDPThread: received " + Logging::excerpt (text) + " from " + senderAddress + " port " + juce::String (senderPort));
        handle (text, senderAddress, senderPort, pending);
    }

    DBGOrLog ("UDPThread at 25476: shutting down...");

    // The dialogs' answers do nothing from now on; the dialogs still open close.
    {
        const juce::ScopedLock sl (pending->lock);
        pending->thread = nullptr;
    }

    juce::MessageManager::callAsync ([pending]
    {
        std::vector<juce::Component::SafePointer<juce::AlertWindow>> stillOpen;
        {
            const juce::ScopedLock sl (pending->lock);

            for (auto const& entry : pending->pendingAcceptDialogs)
                stillOpen.push_back (entry.second);
        }

        for (auto& dialog : stillOpen)
            if (dialog != nullptr)
                dialog->exitModalState (0);
    });

    if (socket != nullptr)
    {
        if (socket->getBoundPort() >= 0)
            socket->leaveMulticast (multicastGroup);

        socket->shutdown();
    }
}

void IPCServer::UDPThread::handle (juce::String const& text, juce::String const& ip, int port,
                                   std::shared_ptr<PendingDialogs> const& pending)
{
    using DiscoveryProtocol::Answer;

    switch (DiscoveryProtocol::answerFor (text, clusterID))
    {
        case Answer::accept:
            DBGOrLog ("Matching clusterID, accepting...");
            accept (ip, port);
            return;

        case Answer::askUser:
            askUser (ip, port, pending);
            return;

        case Answer::reject:
            DBGOrLog ("Client with non-matching cluster ID, rejecting...");
            reply (rejectionReply, DiscoveryProtocol::rejection(), ip, port);
            return;

        case Answer::cancel:
            DBGOrLog ("UDPThread received " + Logging::excerpt (text));
            closeDialog (DiscoveryProtocol::readCancelAddress (text), pending);
            return;

        case Answer::undigested:
            DBGOrLog ("UDPThread: undigested message: " + Logging::excerpt (text));
            return;
    }
}

//==============================================================================
void IPCServer::UDPThread::accept (juce::String const& ip, int port)
{
    auto const id = computeMachineID (ip);
    bool const added = owner->addAcceptedMachine (ip, port);

    if (added)
        DBGOrLog ("Server: add new client " + ip + " port " + juce::String (port));
    else
        DBGOrLog ("Server: duplicate addition attempt " + ip + " " + juce::String (port) + ", not doing anything");

    if (added && id >= 1)
        reply (acceptanceReply, DiscoveryProtocol::acceptance (id, port, clusterID), ip, port);
    else
        DBGOrLog (acceptanceReply.notReady);
}

void IPCServer::UDPThread::reply (Reply const& kind, juce::String const& text, juce::String const& ip, int port)
{
    const juce::ScopedLock sl (writeLock);

    if (! waitUntilWritable (waitMs))
    {
        DBGOrLog (kind.notReady);
        return;
    }

    auto const written = socket->write (ip, port, text.toRawUTF8(), (int) text.getNumBytesAsUTF8());
    DBGOrLog (written >= 1 ? kind.written : kind.failed);
}

bool IPCServer::UDPThread::waitUntilWritable (int timeoutMs) const
{
    // Not juce::DatagramSocket::waitUntilReady: that holds the socket's read lock
    // while it waits, and the discovery thread waits for datagrams under the
    // same lock nearly all the time, so a dialog's acceptance, written on the
    // message thread, would find the socket "not ready".
    auto const rawHandle = socket != nullptr ? socket->getRawSocketHandle() : -1;

    if (rawHandle < 0)
        return false;

    pollfd entry { rawHandle, POLLOUT, 0 };
    return ::poll (&entry, 1, timeoutMs) > 0 && (entry.revents & POLLOUT) != 0;
}

//==============================================================================
void IPCServer::UDPThread::probeIfDue()
{
    auto const now = juce::Time::getMillisecondCounter();

    // Unbound, the socket would send from a port of the system's choosing: the
    // probe would pass for a machine's request.
    if (socket == nullptr || socket->getBoundPort() != DiscoveryProtocol::serverPort || ! rivals->probeDue (now))
        return;

    ownProbeSource = RivalServerSearch::broadcastSource();
    writeQuietly (rivals->probeSent (now), DiscoveryProtocol::broadcastAddress, DiscoveryProtocol::serverPort);
}

void IPCServer::UDPThread::handleFromServer (juce::String const& text, juce::String const& ip)
{
    using namespace DiscoveryProtocol;

    // Another server's probe: answered as any request of the cluster, without
    // a machine to wait for. This server's own probe comes back to it too.
    if (classifyToServer (text) == ToServer::request)
    {
        if (ip != ownProbeSource && ! rivals->hasGivenWay() && answerFor (text, clusterID) == Answer::accept)
            writeQuietly (acceptance (computeMachineID (ip), serverPort, clusterID), ip, serverPort);

        return;
    }

    if (rivals->answered (ip, text, juce::Time::getMillisecondCounter()) == RivalServerSearch::Outcome::giveWay
         && owner->onGivingWay != nullptr)
        owner->onGivingWay();
}

void IPCServer::UDPThread::writeQuietly (juce::String const& text, juce::String const& ip, int port)
{
    const juce::ScopedLock sl (writeLock);

    if (waitUntilWritable (waitMs))
        socket->write (ip, port, text.toRawUTF8(), (int) text.getNumBytesAsUTF8());
}

//==============================================================================
void IPCServer::UDPThread::askUser (juce::String const& ip, int port, std::shared_ptr<PendingDialogs> const& pending)
{
    bool opening = false, requeued = false;

    {
        const juce::ScopedLock sl (pending->lock);

        // Asked already, its dialog open or about to open: nothing more.
        if (pending->pendingAcceptDialogs.count (ip) != 0)
            return;

        auto& waiting = pending->waitingAskers;
        auto const queued = std::find_if (waiting.begin(), waiting.end(), [&] (auto const& asker) { return asker.first == ip; });

        // Waiting for a dialog already: it asks from a new port (a new search),
        // which its dialog's answer goes to.
        if (queued != waiting.end())
        {
            queued->second = port;
            requeued = true;
        }

        // Taken here, before the message thread opens the dialog, so that a
        // burst of requests opens one dialog per address and no more than
        // maxOpenDialogs in all.
        else if (pending->pendingAcceptDialogs.size() < maxOpenDialogs)
        {
            pending->pendingAcceptDialogs[ip] = nullptr;
            opening = true;
        }
        else if (waiting.size() < maxWaitingAskers)
        {
            waiting.emplace_back (ip, port);
        }
    }

    DBGOrLog ("Client unknown, asking for permission to add...");
    reply (waitingReply, DiscoveryProtocol::waitReply(), ip, port);

    if (requeued)
        return;

    if (opening)
    {
        juce::MessageManager::callAsync ([pending, ip, port] { openDialog (pending, ip, port); });
        return;
    }

    DBGOrLog ("UDPThread: " + juce::String ((int) maxOpenDialogs) + " dialogs are open, none for " + ip + " until one closes");
}

void IPCServer::UDPThread::openNextWaiting (std::shared_ptr<PendingDialogs> const& pending)
{
    const juce::ScopedLock sl (pending->lock);

    if (pending->thread == nullptr || pending->waitingAskers.empty()
         || pending->pendingAcceptDialogs.size() >= maxOpenDialogs)
        return;

    auto const [ip, port] = pending->waitingAskers.front();
    pending->waitingAskers.pop_front();
    pending->pendingAcceptDialogs[ip] = nullptr;
    juce::MessageManager::callAsync ([pending, ip = ip, port = port] { openDialog (pending, ip, port); });
}

void IPCServer::UDPThread::openDialog (std::shared_ptr<PendingDialogs> const& pending, juce::String const& ip, int port)
{
    const juce::ScopedLock sl (pending->lock);

    if (pending->thread == nullptr)
        return;   // the run has ended: nobody could act on the answer

    auto* dialog = new juce::AlertWindow ("Accept?", "Add " + ip + " to Corvelline?",
                                          juce::MessageBoxIconType::QuestionIcon, nullptr);
    dialog->addButton ("Yes", 1);
    dialog->addButton ("No", 0);

    pending->pendingAcceptDialogs[ip] = dialog;

    dialog->enterModalState (true, juce::ModalCallbackFunction::create ([pending, ip, port] (int result)
    {
        const juce::ScopedLock callbackLock (pending->lock);

        // The address may ask again, and the asker waiting longest for a
        // dialog gets its own.
        pending->pendingAcceptDialogs.erase (ip);
        openNextWaiting (pending);

        if (result == 1)
        {
            DBGOrLog ("User accepted client");

            if (pending->thread != nullptr)
                pending->thread->accept (ip, port);
        }
        else
        {
            DBGOrLog ("Modal callback for " + ip + " cancelled");
        }
    }), true);
}

void IPCServer::UDPThread::closeDialog (juce::String const& ip, std::shared_ptr<PendingDialogs> const& pending)
{
    {
        const juce::ScopedLock sl (pending->lock);
        auto& waiting = pending->waitingAskers;
        waiting.erase (std::remove_if (waiting.begin(), waiting.end(), [&] (auto const& asker) { return asker.first == ip; }),
                       waiting.end());

        if (pending->pendingAcceptDialogs.count (ip) == 0)
            return;
    }

    juce::MessageManager::callAsync ([pending, ip]
    {
        juce::Component::SafePointer<juce::AlertWindow> dialog;
        {
            const juce::ScopedLock sl (pending->lock);
            auto entry = pending->pendingAcceptDialogs.find (ip);

            if (entry != pending->pendingAcceptDialogs.end())
                dialog = entry->second;
        }

        if (dialog != nullptr)
            dialog->exitModalState (0);
    });
}
