// The server's relay operations: each turns a decision into control messages to
// one machine or to all of them, under machinesLock from start to end.

#include "ipc/IPCServer.h"

#include "core/Logging.h"
#include "ipc/ControlProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MyQuillsteadIPC.h"
#include "ipc/ServerIPC.h"

#include <algorithm>
#include <utility>

using namespace ControlProtocol;

void IPCServer::sendToMachine (int id, juce::MemoryBlock payload)
{
    const juce::ScopedLock sl (machinesLock);

    if (auto* machine = findMachine (id); machine != nullptr && machine->connection != nullptr)
        machine->connection->sendMessage (std::move (payload));
}

void IPCServer::sendToAllMachines (juce::MemoryBlock payload, int excludeID, juce::String const& kind)
{
    // Every machine is sent the same bytes, held once.
    auto const shared = FramedConnection::share (std::move (payload));

    // One lock from the first send to the last: every machine receives the
    // messages of two broadcasts in the same order.
    const juce::ScopedLock sl (machinesLock);

    for (auto const& [id, machine] : machines)
    {
        if (id == excludeID || machine->connection == nullptr)
            continue;

        if (kind.isEmpty())
            machine->connection->sendMessage (shared);
        else
            machine->connection->sendLatest (shared, kind);
    }
}

//==============================================================================
void IPCServer::moveDisplays (int id, int x, int y, int excludeID)
{
    const juce::ScopedLock sl (machinesLock);
    auto* machine = findMachine (id);

    if (machine == nullptr)
        return;

    machine->totalArea.setPosition (x, y);
    DBGOrLog ("Server moveDisplays  " + juce::String (id) + " " + juce::String (x) + " " + juce::String (y)
                + " " + juce::String (excludeID));
    sendToAllMachines (textPayload (displayPosition (id, x, y)), excludeID);
    saveLayout();
}

void IPCServer::sendIdleModeMessageTo (int id)
{
    sendToMachine (id, textPayload (switchModeIdle()));
}

void IPCServer::sendClipboardFromTo (int sourceID, int targetID)
{
    const juce::ScopedLock sl (machinesLock);

    if (findMachine (sourceID) == nullptr)
        return;

    sendToMachine (targetID, textPayload (emptyYourClipboard()));
    sendToMachine (sourceID, textPayload (sendClipboardToID (targetID)));
}

void IPCServer::sendDraggedFileFromTo (int sourceID, int targetID)
{
    const juce::ScopedLock sl (machinesLock);

    if (findMachine (sourceID) == nullptr || findMachine (targetID) == nullptr)
        return;

    sendToMachine (sourceID, textPayload (sendDraggedFileToID (targetID)));
}

void IPCServer::relayClipboard (juce::MemoryBlock const& routePayload)
{
    // Its size first: a clipboard that would be beyond the frame limit is
    // never made.
    auto const planned = ControlProtocol::relayClipboard (routePayload, false);

    if (planned.size > limits.connection.maxFrameBytes)
    {
        DBGOrLog ("Server: not relaying a clipboard of " + juce::String ((juce::int64) planned.size) + " bytes to machine "
                  + juce::String (planned.id) + ", beyond the frame limit");
        return;
    }

    // Only the newest clipboard for a machine matters: one still waiting for
    // it goes before the new one is made, so the two are never held at once.
    {
        const juce::ScopedLock sl (machinesLock);
        auto* machine = findMachine (planned.id);

        if (machine == nullptr || machine->connection == nullptr)
            return;

        machine->connection->dropWaiting (clipboardKind);
    }

    auto relayed = ControlProtocol::relayClipboard (routePayload);
    const juce::ScopedLock sl (machinesLock);

    if (auto* machine = findMachine (relayed.id); machine != nullptr && machine->connection != nullptr)
        machine->connection->sendLatest (FramedConnection::share (std::move (relayed.payload)), clipboardKind);
}

void IPCServer::sendControlMessage (int fromID, int toID)
{
    sendToMachine (fromID, textPayload (prepareLocalAndRemote (toID)));
}

void IPCServer::setIsServer (int id, bool isServer)
{
    const juce::ScopedLock sl (machinesLock);

    if (auto* machine = findMachine (id))
        machine->isServer = isServer;
}

bool IPCServer::isStaleSwitch (int senderID)
{
    const juce::ScopedLock sl (machinesLock);

    // A machine switches others while its own input is in use, having claimed
    // it first on the same connection. A switch that arrives after another
    // machine's claim was sent before its sender heard of that claim (its
    // pointer was coming home while the other machine's user took over):
    // obeying it would idle the machine that now drives, or the one it
    // drives. No claim since the server started: nothing is stale.
    if (currentInputID == -1 || currentInputID == senderID)
        return false;

    DBGOrLog ("Server: ignoring a switch from " + juce::String (senderID) + ", the input of "
              + juce::String (currentInputID) + " is in use");
    return true;
}

void IPCServer::setCurrentInputID (int id)
{
    const juce::ScopedLock sl (machinesLock);

    if (id == currentInputID)
        return;

    DBGOrLog ("Server: send and set currentInputID to " + juce::String (id));
    currentInputID = id;
    sendToAllMachines (textPayload (ControlProtocol::currentInputID (id)), -1);
}

void IPCServer::setCurrentReceivingID (int id)
{
    const juce::ScopedLock sl (machinesLock);

    if (id == currentReceivingID)
        return;

    currentReceivingID = id;
    sendToAllMachines (textPayload (ControlProtocol::currentReceivingID (id)), -1);
}

void IPCServer::sendJumpToMiddle (int id)
{
    sendToMachine (id, textPayload (jumpToMiddle()));
}

void IPCServer::sendTakeBackControl (int id)
{
    sendToMachine (id, textPayload (takeBackControlOrder()));
}

void IPCServer::sendContentComponentResizedMessage (int width, int height)
{
    sendToAllMachines (textPayload (resizeContentComponent (width, height)), -1);
}

//==============================================================================
void IPCServer::sendMachinesTo (ServerIPC& asker)
{
    size_t count = 0;
    {
        const juce::ScopedLock sl (machinesLock);
        count = machines.size();
    }

    if (count == 0)
    {
        DBGOrLog ("Server::sendMachines: no machines found!");
        return;
    }

    for (size_t i = 0; i < count; ++i)
    {
        juce::ValueTree tree;
        {
            const juce::ScopedLock sl (machinesLock);

            if (i < machines.size())
            {
                auto const entry = std::next (machines.begin(), (std::ptrdiff_t) i);
                tree = createMachineInfo (entry->second.get(), entry->first);

                if (auto const waits = waiting.find (entry->first); waits != waiting.end())
                    waits->second.announced = true;
            }
        }

        // Sent without the lock, on the asker's own connection.
        if (tree.isValid())
            asker.sendMessage (treePayload (tree));
    }
}

void IPCServer::switchReceivingMachine (int senderID, int receivingID)
{
    if (receivingID == -1)
    {
        setCurrentReceivingID (-1);
        return;
    }

    const juce::ScopedLock sl (machinesLock);

    if (findMachine (receivingID) == nullptr)
        return;

    // The sender may be missing from the map (the server is going): no OS then.
    auto const* sender = findMachine (senderID);
    sendToMachine (receivingID, textPayload (switchModeReceivingFromOS (sender != nullptr ? sender->OS : juce::String())));
    setCurrentReceivingID (receivingID);
}

//==============================================================================
void IPCServer::nameBackupOnJoining (ServerIPC& joining)
{
    const juce::ScopedLock sl (machinesLock);

    if (machines.size() == 2)
        nameBackup (joining);
    else if (! hasBackup())
        joining.mayBecomeBackup = true;   // decided by its "Is server: "
}

void IPCServer::nameBackupOnIsServer (ServerIPC& connection, bool hostsServer)
{
    const juce::ScopedLock sl (machinesLock);

    if (std::exchange (connection.mayBecomeBackup, false) && ! hostsServer && ! hasBackup())
        nameBackup (connection);
}

void IPCServer::nameBackup (ServerIPC& connection)
{
    // Marked whether or not the message can be sent.
    connection.isBackupServer = true;
    connection.toldBackup = true;
    connection.sendMessage (textPayload (backupServer()));
}

bool IPCServer::hasBackup() const
{
    // Once the machines told so have all gone, a backup is named again.
    return std::any_of (machines.begin(), machines.end(),
                        [] (auto const& entry) { return entry.second->connection != nullptr && entry.second->connection->toldBackup; });
}
