#include "ipc/ClientIPC.h"

#include "core/Logging.h"
#include "core/SingletonApplicationProperties.h"
#include "ipc/ClientFileTransfer.h"
#include "ipc/ControlProtocol.h"
#include "ipc/DiscoveryProtocol.h"
#include "ipc/MulticastInterface.h"
#include "ipc/MyQuillsteadIPC.h"
#include "platform/BrokenPipeSignal.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <optional>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>

namespace
{
// What this system reports to its peers as its operating system.
const juce::String ownOperatingSystem = "MAC";

constexpr int writableWaitMs = 250;
constexpr int replyWaitMs = 250;
constexpr int pauseMs = 100;
constexpr int connectTimeoutMs = 100;
constexpr int reconnectPauseMs = 10;

bool currentThreadShouldExit()
{
    auto* thread = juce::Thread::getCurrentThread();
    return thread != nullptr && thread->threadShouldExit();
}
} // namespace

//==============================================================================
/** Repeats discovery every 10 ms after a lost server connection until a server
    accepts this machine, or until the client closes. Owned by the client. A
    backup first searches briefly, and serves when nobody accepts it. */
class ClientIPC::ReconnectThread : public juce::Thread
{
public:
    ReconnectThread (ClientIPC& clientToUse, bool takeOverToUse)
        : juce::Thread ("anonymous"), client (clientToUse), takeOver (takeOverToUse) {}

    void run() override
    {
        if (takeOver)
        {
            // Its server may have given way to another server of the cluster
            // rather than failed: that one is joined instead of serving too.
            auto const found = client.udpConnectToServer (briefSearchAttempts);

            if (found == Discovery::joined)
                return;

            if (found == Discovery::notAccepted && ! threadShouldExit() && ! client.searchAbandoned())
            {
                client.createOwnServer();
                client.tellMainComponentIAmServer();
            }
        }

        while (! threadShouldExit() && ! client.searchAbandoned())
        {
            if (client.udpConnectToServer() == Discovery::joined)
                return;

            wait (reconnectPauseMs);
        }
    }

private:
    ClientIPC& client;
    bool const takeOver;
};

//==============================================================================
ClientIPC::ClientIPC()
    : FramedConnection (ControlProtocol::magicNumber)
{
    // The server and the machines a file goes to may vanish while this machine
    // writes to them: the write fails, the process goes on.
    BrokenPipeSignal::ignore();

    // The weak reference's shared part is made here, once, so that the
    // connection threads only ever copy it.
    juce::WeakReference<ClientIPC> made (this);
}

ClientIPC::~ClientIPC()
{
    closeClient();

    discoverySocket.reset();
    serverIP = {};
    ipcServer.reset();
    hostingServer = false;
}

void ClientIPC::closeClient()
{
    std::unique_ptr<juce::Thread> searching;

    {
        const juce::ScopedLock sl (reconnectLock);

        if (closed)
            return;

        closed = true;
        destroying = true;
        searching = std::move (reconnectThread);
    }

    // A search in progress gives up at its next step (an attempt takes at
    // most 350 ms; the wait for approval is polled every 250 ms).
    stopSearching = true;

    if (searching != nullptr)
    {
        searching->signalThreadShouldExit();
        searching->waitForThreadToExit (-1);
    }

    // A live connection reports its loss, which now only logs.
    disconnect (Notify::yes);

    // No hand-over can start any more: a packing in progress stops, and
    // removes what it wrote, before the transfers go.
    clipboardPacker.reset();

    {
        const std::lock_guard<std::mutex> sl (outgoingLock);
        outgoingFileTransfer.reset();
    }

    fileTransferServer.reset();

    // Work posted to the message thread earlier finds no client any more.
    masterReference.clear();
}

//==============================================================================
void ClientIPC::connectionMade()
{
    setPeerName ("the server");
    DBGOrLog ("Client connection made");

    ControlProtocol::sendText (*this, ControlProtocol::connectedClient (clientID));
    ControlProtocol::sendText (*this, ControlProtocol::operatingSystem (ownOperatingSystem));
    ControlProtocol::sendText (*this, ControlProtocol::isServer (hostsServer()));

    // The local monitors are JUCE's desktop, which belongs to the message
    // thread: the tree is built and sent there, followed by "Send monitors".
    // Waiting for the message thread here instead could deadlock a start-up
    // or shut-down that waits for this thread.
    postToMessageThread ([] (ClientIPC& client)
    {
        ControlProtocol::sendTree (client, createMonitorInfo (true, client.getDisplaySource()));
        ControlProtocol::sendText (client, ControlProtocol::sendMonitors());
    });
}

void ClientIPC::connectionLost()
{
    DBGOrLog ("ClientIPC: connection lost");

    if (destroying)
        return;

    if (! startingUp)
        stopSocketThread (true);

    stopListenerThread();

    postToMessageThread ([] (ClientIPC& client) { client.clearMachines(); });

    // A backup takes over on the reconnect thread: a discovery connects, and
    // this thread may not.
    launchReconnectThread (isBackupServer.exchange (false));
}

void ClientIPC::launchReconnectThread (bool takeOver)
{
    const juce::ScopedLock sl (reconnectLock);

    // The search in progress on this very thread goes on by itself.
    if (closed || (reconnectThread != nullptr && reconnectThread.get() == juce::Thread::getCurrentThread()))
        return;

    // A loss can only follow a connection that a discovery made, so an earlier
    // search is done or about to be: let it finish first.
    if (reconnectThread != nullptr)
        reconnectThread->waitForThreadToExit (-1);

    reconnectThread = std::make_unique<ReconnectThread> (*this, takeOver);
    reconnectThread->startThread();
}

bool ClientIPC::searchAbandoned() const
{
    return stopSearching.load();
}

void ClientIPC::createOwnServer()
{
    // The server tells of its giving way on its discovery thread; it is ended
    // on the message thread, unless the client has closed by then.
    juce::WeakReference<ClientIPC> self (this);
    auto made = std::make_shared<std::atomic<IPCServer const*>> (nullptr);

    auto server = std::make_unique<IPCServer> (IPCServer::Limits(), [self, made]
    {
        juce::MessageManager::callAsync ([self, made]
        {
            if (auto* client = self.get())
                client->giveWay (*made);
        });
    });

    *made = server.get();
    std::unique_ptr<IPCServer> previous;

    {
        const juce::ScopedLock sl (serverLock);
        previous = std::exchange (ipcServer, std::move (server));
        hostingServer = true;
    }
}

void ClientIPC::giveWay (IPCServer const* server)
{
    std::unique_ptr<IPCServer> leaving;

    {
        const juce::ScopedLock sl (serverLock);

        if (server == nullptr || ipcServer.get() != server)
            return;

        leaving = std::move (ipcServer);
        hostingServer = false;

        // Like every machine of the server, this one searches again once the
        // connection goes, and if nobody accepts it, it serves again.
        isBackupServer = true;
    }

    DBGOrLog ("Ending this machine's server: another server of the cluster stays");

    // Its connections close, this machine's own among them.
    leaving.reset();
}

void ClientIPC::postToMessageThread (std::function<void (ClientIPC&)> work)
{
    juce::WeakReference<ClientIPC> client (this);

    juce::MessageManager::callAsync ([client, work = std::move (work)]
    {
        if (auto* c = client.get())
            work (*c);
    });
}

//==============================================================================
void ClientIPC::requestClipboardFromTo (int fromID, int toID)
{
    ControlProtocol::sendText (*this, ControlProtocol::sendClipboardFromTo (fromID, toID));
}

void ClientIPC::sendMachineReceivingModeMessage (int id)
{
    ControlProtocol::sendText (*this, ControlProtocol::modeChangeReceiving (id));
}

juce::String ClientIPC::getTextFromClipboard()
{
    return juce::SystemClipboard::getTextFromClipboard();
}

void ClientIPC::copyTextToClipboard (juce::String const& text)
{
    juce::SystemClipboard::copyTextToClipboard (text);
}

//==============================================================================
void ClientIPC::messageReceived (juce::MemoryBlock const& message)
{
    using namespace ControlProtocol;
    auto const kind = classifyToClient (message);

    if (kind != ToClient::none && holdsZeroByte (message))
    {
        DBGOrLog ("Client: dropping a text cut short from the server");
        return;
    }

    // A clipboard is decoded once, from the bytes after its keyword.
    auto const text = kind == ToClient::copyToClipboard ? juce::String() : readText (message);

    switch (kind)
    {
        case ToClient::backupServer:
            isBackupServer = true;
            return;

        case ToClient::displayPosition:
        {
            auto p = readDisplayPosition (text);
            postToMessageThread ([p] (ClientIPC& c) { c.updateMachinePosition (p.id, p.x, p.y, true); });
            return;
        }

        case ToClient::resizeContentComponent:
        {
            auto size = readResizeContentComponent (text);
            resizeContentComponent (size.width, size.height);
            return;
        }

        case ToClient::clearMonitors:
            postToMessageThread ([] (ClientIPC& c) { c.clearMachines(); });
            return;

        case ToClient::switchMode:
        {
            DBGOrLog ("Received: " + Logging::excerpt (text) + ", myID: " + juce::String (clientID.load()));
            auto mode = readSwitchMode (text);

            if (mode.receiving)
                gotReceivingModeMessage (mode.senderOS);

            if (mode.idle)
                gotIdleModeMessage();

            return;
        }

        case ToClient::removeMachine:
        {
            auto removed = readRemoveMachine (text);
            removeMachine (removed.ip, removed.port, removed.id);
            return;
        }

        case ToClient::sendClipboardToID:
            handOverClipboard (readSendClipboardToID (text));
            return;

        case ToClient::sendDraggedFileToID:
            sendDraggedFiles (readSendDraggedFileToID (text));
            return;

        case ToClient::copyToClipboard:
        {
            auto clipboardText = readCopyToClipboard (message);

            if (clipboardText.isNotEmpty())
                copyTextToClipboard (clipboardText);

            return;
        }

        case ToClient::emptyYourClipboard:    emptyClipboard(); return;
        case ToClient::currentInputID:        setCurrentInputID (readCurrentInputID (text)); return;
        case ToClient::currentReceivingID:    setCurrentReceivingID (readCurrentReceivingID (text)); return;
        case ToClient::prepareLocalAndRemote: prepareLocalAndRemote (readPrepareLocalAndRemote (text), true); return;
        case ToClient::jumpToMiddle:          jumpToMiddle (true); return;
        case ToClient::takeBackControl:       takeBackControl(); return;
        case ToClient::none:                  break;
    }

    auto tree = readTree (message);

    if (! tree.isValid())
        return;

    if (tree.hasType (machineInfoType))
    {
        if (! Machine::isAcceptableField (tree.getProperty ("IP").toString())
             || ! Machine::isAcceptableField (tree.getProperty ("OS").toString()))
        {
            DBGOrLog ("decodeMachineInfo: refusing a machine whose IP or OS text is too long");
            return;
        }

        postToMessageThread ([tree] (ClientIPC& c)
        {
            DBGOrLog ("decodeMachineInfo:");
            DBGOrLog (Logging::excerpt (tree.toXmlString()));

            auto ip = tree.getProperty ("IP").toString();
            auto port = propertyAsInt (tree.getProperty ("port"));
            auto os = tree.getProperty ("OS").toString();
            auto id = propertyAsInt (tree.getProperty ("ID"));

            juce::RectangleList<int> monitors;
            juce::Rectangle<int> total;
            decodeMonitorInfo (monitors, total, tree);

            c.addMachine (ip, port, id, monitors, total, os);
        });
    }
    else if (tree.hasType (changedMonitorInfoType))
    {
        postToMessageThread ([tree] (ClientIPC& c) { c.updateMachineDisplay (tree); });
    }
}

void ClientIPC::handOverClipboard (int targetID)
{
    auto files = checkPasteboardForFiles();

    if (! files.isEmpty())
    {
        DBGOrLog ("Send clipboard files to " + juce::String (targetID));

        // Packing takes as long as the files are large: it runs on a thread
        // of its own, and this connection goes on being read meanwhile.
        if (clipboardPacker == nullptr)
            clipboardPacker = std::make_unique<FileTransfer::ClipboardPacker> ([this] (juce::File const& archive, int target)
            {
                sendFileToMachine (archive, target, false);
            });

        clipboardPacker->pack (files, targetID);
        return;
    }

    ControlProtocol::sendClipboardRoute (*this, targetID, getTextFromClipboard());
}

void ClientIPC::sendDraggedFiles (int targetID)
{
    auto files = checkPasteboardForDraggedFiles();

    if (files.isEmpty())
        return;

    DBGOrLog ("Send dragged file to " + juce::String (targetID));

    for (auto const& file : files)
        sendFileToMachine (file, targetID, true);
}

void ClientIPC::openOutgoingFileTransfer (juce::File const& file, juce::String const& ip, int port, bool fromDrag)
{
    auto transfer = std::make_unique<ClientFileTransferIPC> (file, false, this);
    transfer->fromDrag = fromDrag;

    // The dragged files are sent from the control connection's reader, the
    // clipboard's from the packing thread.
    const std::lock_guard<std::mutex> sl (outgoingLock);
    outgoingFileTransfer = std::move (transfer);

    DBGOrLog ("ClientFileTransfer sender should connect to " + ip + " " + juce::String (port));

    if (! outgoingFileTransfer->connectToSocket (ip, port, connectTimeoutMs))
        DBGOrLog ("ClientFileTransfer sender: connection failed");
}

//==============================================================================
ClientIPC::Discovery ClientIPC::udpConnectToServer (int attempts)
{
    const juce::ScopedLock oneAtATime (discoveryLock);

    discoverySocket = std::make_unique<juce::DatagramSocket> (true);
    auto& udp = *discoverySocket;

    auto const request = DiscoveryProtocol::request (clusterID);
    auto const localAddress = pickBestMulticastInterface().toString();

    if (udp.bindToPort (0, localAddress))
    {
        unsigned char loop = 1;
        setsockopt (udp.getRawSocketHandle(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof (loop));
    }

    DBGOrLog ("Client: start UDP connection attempt, bound to " + localAddress + ", cluster ID: " + juce::String (clusterID.load()));

    // A reply comes from a server's discovery port, and an acceptance names
    // the port the request went from, as a server always answers: anything
    // else is nobody's reply (an acceptance naming another port would put
    // this machine's listeners on ports it does not own).
    struct Reply { DiscoveryProtocol::ToClient kind = DiscoveryProtocol::ToClient::none; juce::String text; };

    auto readReply = [this, &udp]
    {
        char buffer[DiscoveryProtocol::maxDatagramSize];
        juce::String senderIP;
        int senderPort = 0;
        auto bytes = udp.read (buffer, (int) sizeof (buffer), false, senderIP, senderPort);

        if (bytes < 0 || senderPort != DiscoveryProtocol::serverPort)
            return Reply();

        Reply reply { DiscoveryProtocol::ToClient::none, DiscoveryProtocol::datagramText (buffer, (size_t) bytes) };
        reply.kind = DiscoveryProtocol::classifyToClient (reply.text);

        if (reply.kind == DiscoveryProtocol::ToClient::acceptance
             && DiscoveryProtocol::readAcceptance (reply.text).port != udp.getBoundPort())
            return Reply();

        if (reply.kind != DiscoveryProtocol::ToClient::none)
        {
            serverIP = senderIP;
            serverPort = senderPort;
        }

        return reply;
    };

    std::optional<Joining> joining;   // once an acceptance came
    bool cancel = false;

    if (udp.waitUntilReady (false, writableWaitMs) != 1)
    {
        DBGOrLog ("Client: UDP socket write timeout");
    }
    else
    {
        for (int attempt = 0; attempt < attempts && ! searchAbandoned(); ++attempt)
        {
            auto written = udp.write (DiscoveryProtocol::broadcastAddress, DiscoveryProtocol::serverPort,
                                         request.toRawUTF8(), (int) request.getNumBytesAsUTF8());

            if (written < 1)
            {
                DBGOrLog ("Client: UDP write failed");
                juce::Thread::sleep (pauseMs);
                continue;
            }

            if (udp.waitUntilReady (true, replyWaitMs) != 1)
            {
                DBGOrLog ("Client: UPD write successful but read failed");
                juce::Thread::sleep (pauseMs);
                continue;
            }

            auto reply = readReply();

            if (reply.kind == DiscoveryProtocol::ToClient::acceptance)
            {
                joining = handleAcceptanceMessage (reply.text, serverIP, serverPort);
                break;
            }

            if (reply.kind == DiscoveryProtocol::ToClient::wait)
            {
                DBGOrLog ("Received WAIT");

                // Waiting for the server's user, as long as it takes.
                while (! currentThreadShouldExit() && ! searchAbandoned())
                {
                    auto ready = udp.waitUntilReady (true, replyWaitMs);

                    if (ready < 0)
                        juce::Thread::sleep (replyWaitMs);

                    if (ready != 1)
                        continue;

                    auto later = readReply();

                    if (later.kind == DiscoveryProtocol::ToClient::acceptance)
                    {
                        joining = handleAcceptanceMessage (later.text, serverIP, serverPort);
                        break;
                    }
                }

                // Told to stop: the server's user need not answer any more,
                // unless this machine has joined meanwhile.
                cancel = (currentThreadShouldExit() || searchAbandoned()) && ! (joining && joining->connected);
                break;
            }
        }
    }

    if (cancel)
    {
        if (udp.waitUntilReady (false, writableWaitMs) == 1)
        {
            DBGOrLog ("Writing CANCEL to server");
            auto text = DiscoveryProtocol::cancel (localAddress);
            udp.write (serverIP, serverPort, text.toRawUTF8(), (int) text.getNumBytesAsUTF8());
        }
        else
        {
            DBGOrLog ("Could not write CANCEL to server");
        }
    }

    udp.shutdown();
    discoverySocket.reset();

    if (! joining.has_value())
        return Discovery::notAccepted;

    if (! joining->connected)
        return Discovery::connectFailed;

    auto listener = std::make_unique<ClientFileTransferIPCServer> (joining->machinePort + 1, this);

    if (listener->beginListening())
        DBGOrLog ("File transfer server: begin waiting at " + juce::String (listener->port));
    else
        DBGOrLog ("File transfer server: failed to bind to port " + juce::String (listener->port));

    fileTransferServer = std::move (listener);
    return Discovery::joined;
}

ClientIPC::Joining ClientIPC::handleAcceptanceMessage (juce::String const& reply, juce::String const& serverIPToUse, int serverPortToUse)
{
    auto acceptance = DiscoveryProtocol::readAcceptance (reply);
    clientID = acceptance.machineID;

    if (clusterID == -1)
    {
        clusterID = acceptance.clusterID;

        if (auto* settings = SingletonApplicationProperties::get().getUserSettings())
        {
            settings->setValue ("clusterID", acceptance.clusterID);
            settings->save();
        }
    }

    DBGOrLog ("ACCEPTED! Client ID: " + juce::String (clientID.load()) + ", Server IP: " + serverIPToUse
              + " clusterID: " + juce::String (clusterID.load()));

    Joining joining;
    joining.machinePort = acceptance.port;
    joining.connected = ! destroying && connectToSocket (serverIPToUse, serverPortToUse + 1, connectTimeoutMs);

    if (joining.connected)
        DBGOrLog ("TCP connected");
    else
        DBGOrLog ("TCP connection to the server failed");

    return joining;
}
