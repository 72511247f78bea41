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
/** Looks over the unpaired connections and the accepted machines four times a
    second: releases the connections that can no longer be read or have waited
    too long, and forgets the machines that did not connect in time. */
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
            server.forgetLateMachines();
            wait (250);
        }
    }

private:
    IPCServer& server;
};

//==============================================================================
IPCServer::IPCServer() : IPCServer (Limits()) {}

IPCServer::IPCServer (Limits limitsToUse, std::function<void()> onGivingWayToUse)
    : ConnectionListener ("ServerListener"),
      udpBindAttempted (false),
      lifeline (std::make_shared<Lifeline>()),
      limits (limitsToUse),
      onGivingWay (std::move (onGivingWayToUse))
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
        waiting.clear();
    }

    leaving.clear();
    unpaired.clear();
}

bool IPCServer::acceptsConnectionFrom (juce::String const& peerAddress)
{
    const juce::ScopedLock sl (machinesLock);

    // A machine that waits for its connection is always let in.
    for (auto const& entry : waiting)
        if (machines.at (entry.first)->IP == peerAddress)
            return true;

    // Any other connection may belong to a machine that connects from another
    // address and names itself (pairByID): a few are kept, from any one
    // address fewer still. Those lost and not yet released count only
    // towards the ceiling. The machines an address joined by the IDs they
    // sent count towards its share: else one address, naming machine after
    // machine, would hold any number. A machine's connection from its own
    // address never counts.
    int kept = 0, fromAddress = 0;

    for (auto const& connection : unpairedConnections)
    {
        if (connection->isConnected())
        {
            ++kept;
            fromAddress += connection->getConnectedHostName() == peerAddress ? 1 : 0;
        }
    }

    for (auto const& [id, machine] : machines)
        if (machine->IP != peerAddress && machine->connection != nullptr && machine->connection->isConnected()
             && machine->connection->getConnectedHostName() == peerAddress)
            ++fromAddress;

    if (kept < limits.maxUnpaired && fromAddress < limits.maxUnpairedPerAddress
         && (int) unpairedConnections.size() < 2 * limits.maxUnpaired)
        return true;

    DBGOrLog ("Server: too many connections without a machine, from " + peerAddress + " or in all; closing a new one");
    return false;
}

FramedConnection* IPCServer::createConnectionObject()
{
    DBGOrLog ("Server: adding new TCP connection...");

    auto connection = std::make_unique<ServerIPC> (this);
    connection->setLimits (limits.connection);
    auto* const created = connection.get();

    // Paired once it is made (pairConnection).
    const juce::ScopedLock sl (machinesLock);
    unpairedConnections.push_back (std::move (connection));
    return created;
}

bool IPCServer::addAcceptedMachine (juce::String const& ip, int port)
{
    auto const id = computeMachineID (ip);
    const juce::ScopedLock sl (machinesLock);

    if (auto const* known = findMachine (id); known != nullptr && known->connection != nullptr)
        return false;

    Waiting entry;
    entry.since = juce::Time::getMillisecondCounter();
    entry.order = ++acceptances;

    if (auto const previous = waiting.find (id); previous != waiting.end())
    {
        entry.announced = previous->second.announced;   // the same machine, asking again
    }
    else if ((int) waiting.size() >= limits.maxWaitingMachines)
    {
        auto const oldest = std::min_element (waiting.begin(), waiting.end(),
                                              [] (auto const& a, auto const& b) { return a.second.order < b.second.order; });
        forgetWaitingMachine (oldest->first);
    }

    auto machine = std::make_unique<Machine>();
    machine->IP = ip;
    machine->port = port;
    machines[id] = std::move (machine);   // a record never paired goes
    waiting[id] = entry;
    return true;
}

void IPCServer::pairConnection (ServerIPC& connection)
{
    // The address the connection comes from, as the listener saw it.
    auto const address = connection.getConnectedHostName();
    const juce::ScopedLock sl (machinesLock);

    if (! isUnpaired (connection))
        return;

    // Only the machine's own address pairs it at once: by order alone, any
    // connection (a port scan, a probe) could take the place of an accepted
    // machine that has not connected yet.
    for (auto const& entry : waiting)
    {
        if (machines.at (entry.first)->IP == address)
        {
            pair (connection, entry.first);
            return;
        }
    }

    DBGOrLog ("Server: no accepted machine waits for a connection from " + address + ", ignoring its messages");
}

bool IPCServer::pairByID (ServerIPC& connection, int id)
{
    const juce::ScopedLock sl (machinesLock);

    if (! isUnpaired (connection) || waiting.count (id) == 0)
        return false;

    DBGOrLog ("Server: the connection from " + connection.getConnectedHostName() + " is machine " + juce::String (id) + " by the ID it sent");
    pair (connection, id);
    return true;
}

bool IPCServer::isUnpaired (ServerIPC const& connection) const
{
    return std::any_of (unpairedConnections.begin(), unpairedConnections.end(),
                        [&connection] (auto const& c) { return c.get() == &connection; });
}

void IPCServer::pair (ServerIPC& connection, int id)
{
    auto held = std::find_if (unpairedConnections.begin(), unpairedConnections.end(),
                              [&connection] (auto const& c) { return c.get() == &connection; });
    jassert (held != unpairedConnections.end() && waiting.count (id) != 0);

    connection.machineID = id;
    machines.at (id)->connection = held->release();
    unpairedConnections.erase (held);
    waiting.erase (id);
}

void IPCServer::forgetWaitingMachine (int id)
{
    auto const entry = waiting.find (id);
    auto const record = machines.find (id);

    if (entry == waiting.end() || record == machines.end())
        return;

    auto const announced = entry->second.announced;
    auto const ip = record->second->IP;
    auto const port = record->second->port;
    waiting.erase (entry);
    machines.erase (record);

    DBGOrLog ("Server: forgot " + ip + ", which did not connect");

    // Laid out only once connected, it leaves no place behind.
    if (announced)
        sendToAllMachines (ControlProtocol::textPayload (ControlProtocol::removeMachine (ip, port, id)), -1);
}

void IPCServer::forgetLateMachines()
{
    const juce::ScopedLock sl (machinesLock);
    auto const now = juce::Time::getMillisecondCounter();
    std::vector<int> late;

    for (auto const& [id, entry] : waiting)
        if (now - entry.since > (juce::uint32) limits.joinTimeoutMs)
            late.push_back (id);

    for (auto const id : late)
        forgetWaitingMachine (id);
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

        // They act as backups from now on, without being named: their loss names nobody.
        for (auto const& [otherID, machine] : machines)
        {
            if (machine->connection != nullptr && ! machine->isServer)
            {
                machine->connection->toldBackup = true;
                machine->connection->sendMessage (backup);
            }
        }
    }
}

//==============================================================================
Machine* IPCServer::findMachine (int id) const
{
    auto found = machines.find (id);
    return found == machines.end() ? nullptr : found->second.get();
}
