#include "ipc/IPCServer.h"

#include "core/Logging.h"
#include "core/SingletonApplicationProperties.h"
#include "ipc/ControlProtocol.h"
#include "ipc/Machine.h"
#include "ipc/ServerIPC.h"
#include "ipc/ServerUDPThread.h"
#include "platform/BrokenPipeSignal.h"
#include "platform/MonotonicClock.h"

#include <algorithm>

//==============================================================================
/** Looks over the unpaired connections four times a second and releases those
    that can no longer be read or have waited too long. */
class IPCServer::Sweeper : public juce::Thread
{
public:
    explicit Sweeper (IPCServer& serverToUse) : juce::Thread ("ServerSweeper"), server (serverToUse) {}

    ~Sweeper() override
    {
        signalThreadShouldExit();
        notify();
        waitForThreadToExit (-1);   // one sweep at most
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            server.releaseUnpairedConnections();
            wait (250);
        }
    }

private:
    IPCServer& server;
};

//==============================================================================
IPCServer::IPCServer() : IPCServer (Limits()) {}

IPCServer::IPCServer (Limits limitsToUse)
    : ConnectionListener ("ServerListener"),
      udpBindAttempted (false),
      lifeline (std::make_shared<Lifeline>()),
      limits (limitsToUse)
{
    lifeline->server = this;
    BrokenPipeSignal::ignore();

    DBGOrLog ("Starting IPC server...");

    auto thread = std::make_unique<UDPThread> (this);
    thread->socket = std::make_unique<juce::DatagramSocket> (true);

    if (auto* userSettings = SingletonApplicationProperties::get().getUserSettings())
    {
        thread->clusterID = userSettings->getIntValue ("clusterID", -1);

        if (thread->clusterID == -1)
        {
            juce::Random random ((juce::int64) MonotonicClock::getTicks());
            thread->clusterID = random.nextInt (99999) + 1;
            userSettings->setValue ("clusterID", thread->clusterID);
            userSettings->save();
        }
    }

    udpThread = std::move (thread);

    // The control port listens before discovery answers anybody: a machine
    // accepted at once connects at once.
    sweeper = std::make_unique<Sweeper> (*this);
    sweeper->startThread();

    beginWaitingForSocket (ControlProtocol::serverPort, {});

    if (udpThread->startThread())
        udpBindAttempted.wait (-1);
}

IPCServer::~IPCServer()
{
    // From here on, removals and dialog answers posted earlier do nothing; one
    // that is running now is waited for.
    {
        const juce::ScopedLock sl (lifeline->lock);
        lifeline->server = nullptr;
    }

    udpThread->stopPromptly();
    stop();
    udpThread.reset();
    sweeper.reset();

    // The records and connections go outside the lock: a connection's reading
    // thread may be waiting for the lock, and deleting the connection waits for
    // that thread. Those threads find an empty map.
    std::map<int, std::unique_ptr<Machine>> leaving;
    std::vector<std::unique_ptr<ServerIPC>> unpaired;
    {
        const juce::ScopedLock sl (machinesLock);
        leaving.swap (machines);
        unpaired.swap (unpairedConnections);
    }

    leaving.clear();
    unpaired.clear();
}

FramedConnection* IPCServer::createConnectionObject()
{
    DBGOrLog ("Server: adding new TCP connection...");

    auto connection = std::make_unique<ServerIPC> (this);
    connection->setLimits (limits.connection);
    auto* const created = connection.get();

    const juce::ScopedLock sl (machinesLock);

    auto const awaited = std::any_of (machines.begin(), machines.end(),
                                      [] (auto const& entry) { return entry.second != nullptr && entry.second->connection == nullptr; });

    if (! awaited && (int) unpairedConnections.size() >= limits.maxUnpaired)
    {
        DBGOrLog ("Server: too many connections without a machine, closing a new one");
        return nullptr;
    }

    // Paired once its socket tells where it comes from (pairConnection).
    unpairedConnections.push_back (std::move (connection));
    return created;
}

void IPCServer::pairConnection (ServerIPC& connection)
{
    // The address the connection comes from, as the listener saw it.
    auto const address = connection.getConnectedHostName();
    const juce::ScopedLock sl (machinesLock);

    auto held = std::find_if (unpairedConnections.begin(), unpairedConnections.end(),
                              [&connection] (auto const& c) { return c.get() == &connection; });

    if (held == unpairedConnections.end())
        return;

    // The machine that connects from its own address first: by order alone, a
    // connection could take the place of another accepted machine that has
    // not connected yet, which would then be refused as a duplicate for good.
    Machine* chosen = nullptr;
    int chosenID = -1;

    for (auto& [id, machine] : machines)
    {
        if (machine == nullptr || machine->connection != nullptr)
            continue;

        if (machine->IP == address)
        {
            chosen = machine.get();
            chosenID = id;
            break;
        }

        if (chosen == nullptr)
        {
            chosen = machine.get();
            chosenID = id;
        }
    }

    if (chosen == nullptr)
    {
        DBGOrLog ("Server: no accepted machine waits for this connection, ignoring its messages");
        return;
    }

    connection.machineID = chosenID;
    chosen->connection = held->release();
    unpairedConnections.erase (held);
}

void IPCServer::releaseUnpairedConnections()
{
    std::vector<std::unique_ptr<ServerIPC>> released;

    {
        const juce::ScopedLock sl (machinesLock);
        auto const now = juce::Time::getMillisecondCounter();   // no connection made meanwhile looks old

        for (auto it = unpairedConnections.begin(); it != unpairedConnections.end();)
        {
            auto& connection = **it;

            // One the listener has not handed its socket yet is left alone.
            bool const done = connection.hasStarted()
                                && (! connection.isConnected() || now - connection.created > (juce::uint32) limits.unpairedTimeoutMs);

            if (done)
            {
                released.push_back (std::move (*it));
                it = unpairedConnections.erase (it);
            }
            else
            {
                ++it;
            }
        }
    }

    // Deleted outside the lock: each waits for its reading thread.
    if (! released.empty())
        DBGOrLog ("Server: released " + juce::String ((int) released.size()) + " connection(s) without a machine");
}

//==============================================================================
void IPCServer::postRemoval (ServerIPC* connection, juce::int64 serial)
{
    juce::MessageManager::callAsync ([life = lifeline, connection, serial]
    {
        const juce::ScopedLock sl (life->lock);

        if (life->server != nullptr)
            life->server->removeConnection (connection, serial);
    });
}

void IPCServer::removeConnection (ServerIPC* connection, juce::int64 serial)
{
    DBGOrLog ("Server: removing connection from collection");

    const juce::ScopedLock sl (machinesLock);

    auto lost = std::find_if (machines.begin(), machines.end(),
                              [connection] (auto const& entry) { return entry.second->connection == connection; });

    if (lost == machines.end() || connection->serial != serial)
        return;

    bool const wasBackup = connection->isBackupServer;
    auto const ip = lost->second->IP;
    auto const port = lost->second->port;
    auto const id = lost->first;

    DBGOrLog ("Server: removed " + juce::String (id));
    machines.erase (lost);   // deletes the connection, whose thread has ended its work

    layOut();

    sendToAllMachines (ControlProtocol::textPayload (ControlProtocol::removeMachine (ip, port, id)), -1);

    if (wasBackup && machines.size() >= 2)
    {
        auto const backup = ControlProtocol::textPayload (ControlProtocol::backupServer());

        for (auto const& [otherID, machine] : machines)
            if (machine->connection != nullptr && ! machine->isServer)
                machine->connection->sendMessage (backup);
    }
}

//==============================================================================
Machine* IPCServer::findMachine (int id) const
{
    auto found = machines.find (id);
    return found == machines.end() ? nullptr : found->second.get();
}
