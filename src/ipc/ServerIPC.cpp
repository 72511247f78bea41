#include "ipc/ServerIPC.h"

#include "core/Logging.h"
#include "ipc/ControlProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MyQuillsteadIPC.h"

#include <atomic>
#include <sys/socket.h>
#include <sys/time.h>

namespace
{
juce::int64 nextSerial()
{
    static std::atomic<juce::int64> counter { 0 };
    return ++counter;
}
} // namespace

IPCServer::ServerIPC::ServerIPC (IPCServer* ownerToUse)
    : juce::InterprocessConnection (false, ControlProtocol::magicNumber),
      owner (ownerToUse),
      serial (nextSerial())
{
}

IPCServer::ServerIPC::~ServerIPC()
{
    // A connection is deleted by its removal, after its loss was reported, or by
    // the server's destruction: neither must report a loss again.
    disconnect (-1, Notify::no);
}

void IPCServer::ServerIPC::connectionMade()
{
    // Bound every write, so that a peer that stops reading cannot hold the
    // server's lock for ever. The reading thread has not started yet, so the
    // socket cannot go away under us here.
    if (auto* connected = getSocket())
    {
        timeval limit {};
        limit.tv_sec = sendTimeoutMs / 1000;
        limit.tv_usec = (sendTimeoutMs % 1000) * 1000;
        setsockopt (connected->getRawSocketHandle(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof (limit));
    }

    const juce::ScopedLock sl (sendLock);
    opened = true;
}

void IPCServer::ServerIPC::connectionLost()
{
    DBGOrLog ("ServerIPC: connection lost...");
    owner->postRemoval (this, serial);
}

bool IPCServer::ServerIPC::sendPayload (juce::MemoryBlock const& payload)
{
    const juce::ScopedLock sl (sendLock);

    // A machine's connection is paired before the listener hands it its
    // socket: until connectionMade, there is nothing to write to.
    if (sendingStopped || ! opened)
        return false;

    auto const started = juce::Time::getMillisecondCounterHiRes();
    auto const sent = sendMessage (payload);
    auto const took = juce::Time::getMillisecondCounterHiRes() - started;

    // A write waits only while the peer's buffers are full, which a peer that
    // reads never lets happen with messages this small. One that has stopped
    // reading may still take a little now and then, so the waits add up, and
    // are forgotten only after a long time without any.
    if (! sent || took >= 20.0)
    {
        auto const now = juce::Time::getMillisecondCounterHiRes();

        if (now - lastBlockedAt > 10.0 * sendTimeoutMs)
            blockedMs = 0.0;

        blockedMs += took;
        lastBlockedAt = now;
    }

    if (sent && blockedMs < sendTimeoutMs)
        return true;

    // Either the connection is gone (its removal is on its way) or the peer
    // stopped reading and part of a frame may have gone out, after which
    // anything written would be read as garbage: nothing more is written, and
    // the connection is closed and handled as lost.
    sendingStopped = true;
    DBGOrLog ("Server: cannot write to machine " + juce::String (machineID) + ", closing its connection");
    owner->postDisconnect (this, serial);
    return false;
}

void IPCServer::ServerIPC::messageReceived (juce::MemoryBlock const& message)
{
    if (machineID == -1)
        return;   // unpaired: no accepted machine stands behind it

    using namespace ControlProtocol;
    auto& server = *owner;
    auto const sender = machineID;
    auto const text = readText (message);

    switch (classifyToServer (text))
    {
        case ToServer::connectedClient:
        {
            bool named = false;
            {
                const juce::ScopedLock sl (server.machinesLock);

                if (server.machines.size() == 2)
                {
                    isBackupServer = true;
                    named = true;
                }
            }

            if (named)
                sendPayload (textPayload (backupServer()));

            return;
        }

        case ToServer::operatingSystem:
        {
            const juce::ScopedLock sl (server.machinesLock);

            if (auto* machine = server.findMachine (sender))
                machine->OS = readOperatingSystem (text);

            return;
        }

        case ToServer::sendMonitors:
            server.sendMachinesTo (*this);
            return;

        case ToServer::machineMoved:
        {
            auto const position = readMachineMoved (text);
            DBGOrLog ("Server message received " + text);
            server.moveDisplays (position.id, position.x, position.y, sender);
            return;
        }

        case ToServer::modeChangeReceiving:
            server.switchReceivingMachine (sender, readModeChangeReceiving (text));
            return;

        case ToServer::modeChangeIdle:
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
        {
            auto const routed = readRouteClipboardTo (text);
            server.routeClipboardTo (routed.id, routed.text);
            return;
        }

        case ToServer::startControl:
        {
            auto const ids = readStartControl (text);
            server.sendControlMessage (ids.from, ids.to);
            return;
        }

        case ToServer::isServer:
            server.setIsServer (sender, readIsServer (text));
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
