#include "ipc/ServerIPC.h"

#include "core/Logging.h"
#include "ipc/ControlProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MyQuillsteadIPC.h"

#include <atomic>

namespace
{
juce::int64 nextSerial()
{
    static std::atomic<juce::int64> counter { 0 };
    return ++counter;
}
} // namespace

IPCServer::ServerIPC::ServerIPC (IPCServer* ownerToUse)
    : FramedConnection (ControlProtocol::magicNumber),
      owner (ownerToUse),
      serial (nextSerial()),
      created (juce::Time::getMillisecondCounter())
{
}

IPCServer::ServerIPC::~ServerIPC()
{
    // A connection is deleted by its removal, after its loss was reported, or by
    // the server's destruction: neither must report a loss again.
    disconnect (Notify::no);
}

void IPCServer::ServerIPC::connectionMade()
{
    // Runs as the listener hands the connection its socket, before its
    // reading thread starts.
    owner->pairConnection (*this);
    setPeerName (machineID == -1 ? juce::String ("an unpaired connection") : "machine " + juce::String (machineID));
}

void IPCServer::ServerIPC::connectionLost()
{
    DBGOrLog ("ServerIPC: connection lost...");

    // An unpaired connection is released by the server's sweep.
    if (machineID != -1)
        owner->postRemoval (this, serial);
}

void IPCServer::ServerIPC::messageReceived (juce::MemoryBlock const& message)
{
    using namespace ControlProtocol;
    auto const kind = classifyToServer (message);

    // Unpaired: no accepted machine stands behind it, unless it names one
    // that waits for its connection.
    if (machineID == -1
         && ! (kind == ToServer::connectedClient && ! holdsZeroByte (message)
                && owner->pairByID (*this, readConnectedClient (readText (message)))))
        return;

    auto& server = *owner;
    auto const sender = machineID;

    if (kind != ToServer::none && holdsZeroByte (message))
    {
        DBGOrLog ("Server: dropping a text cut short from machine " + juce::String (sender));
        return;
    }

    // A clipboard is relayed from the received bytes, never decoded into a copy.
    auto const text = kind == ToServer::routeClipboardTo ? juce::String() : readText (message);

    switch (kind)
    {
        case ToServer::connectedClient:
            server.nameBackupOnJoining (*this);
            return;

        case ToServer::operatingSystem:
        {
            auto const os = readOperatingSystem (text);

            // Kept, it would be stored with the layouts and sent to every machine.
            if (! Machine::isAcceptableField (os))
            {
                DBGOrLog ("Server: refusing the operating system " + Logging::excerpt (os));
                return;
            }

            const juce::ScopedLock sl (server.machinesLock);

            if (auto* machine = server.findMachine (sender))
                machine->OS = os;

            return;
        }

        case ToServer::sendMonitors:
            server.sendMachinesTo (*this);
            return;

        case ToServer::machineMoved:
        {
            auto const position = readMachineMoved (text);
            DBGOrLog ("Server message received " + Logging::excerpt (text));
            server.moveDisplays (position.id, position.x, position.y, sender);
            return;
        }

        case ToServer::modeChangeReceiving:
            if (! server.isStaleSwitch (sender))
                server.switchReceivingMachine (sender, readModeChangeReceiving (text));

            return;

        case ToServer::modeChangeIdle:
            if (! server.isStaleSwitch (sender))
                server.sendIdleModeMessageTo (readModeChangeIdle (text));

            return;

        case ToServer::sendClipboardFromTo:
        {
            auto const ids = readSendClipboardFromTo (text);
            server.sendClipboardFromTo (ids.from, ids.to);
            return;
        }

        case ToServer::sendDraggedFileFromTo:
        {
            auto const ids = readSendDraggedFileFromTo (text);
            server.sendDraggedFileFromTo (ids.from, ids.to);
            return;
        }

        case ToServer::routeClipboardTo:
            server.relayClipboard (message);
            return;

        case ToServer::startControl:
        {
            auto const ids = readStartControl (text);
            server.sendControlMessage (ids.from, ids.to);
            return;
        }

        case ToServer::isServer:
            server.setIsServer (sender, readIsServer (text));
            server.nameBackupOnIsServer (*this, readIsServer (text));
            return;

        case ToServer::currentInputID:
            server.setCurrentInputID (readCurrentInputID (text));
            return;

        case ToServer::requestJumpToMiddle:
            server.sendJumpToMiddle (readRequestJumpToMiddle (text));
            return;

        case ToServer::takeBackControl:
            server.sendTakeBackControl (readTakeBackControl (text));
            return;

        case ToServer::none:
            break;
    }

    auto const tree = readTree (message);
    bool const isNew = tree.hasType (newMonitorInfoType);

    if (! isNew && ! tree.hasType (changedMonitorInfoType))
        return;

    juce::RectangleList<int> monitors;
    juce::Rectangle<int> total;
    decodeMonitorInfo (monitors, total, tree);

    if (isNew)
        server.addClientDisplays (monitors, total, sender);
    else
        server.changeDisplays (monitors, total, sender);
}
