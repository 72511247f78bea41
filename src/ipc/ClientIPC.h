#pragma once

#include "ipc/FramedConnection.h"
#include "ipc/IPCServer.h"
#include "platform/DisplaySource.h"

#include <juce_events/juce_events.h>
#include <juce_graphics/juce_graphics.h>
#include <juce_data_structures/juce_data_structures.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace FileTransfer { class ClipboardPacker; }

/** This machine's client of the cluster server.

    One TCP control connection to the server (the server's own host included):
    it finds the server by discovery, joins it with "Connected client: ",
    "Operating system: ", "Is server: " and a "newMonitorInfo" tree followed by
    "Send monitors", turns the server's control messages into calls of the
    operations below, and, when the connection is lost, lets a backup take over
    as server and searches again.

    A backup that loses its server first searches briefly: its server may
    have given way to another server of the cluster, which it then joins. When
    the server this machine hosts gives way to another (see RivalServerSearch),
    the machine ends it and counts as a backup: like every machine of that
    server it searches again, and serves once more if nobody accepts it.

    The application derives from this class and implements the 24 operations.
    Which thread calls which operation:
      - the control connection's reading thread ("FrameReader"): every operation
        called from a received message except the four below, and, on a lost
        connection, stopSocketThread and stopListenerThread;
      - the reconnect thread: tellMainComponentIAmServer, when a backup takes
        over;
      - the message thread: addMachine, clearMachines, updateMachinePosition and
        updateMachineDisplay (posted), and addMultipleFilesOrDirsToClipboard
        (file transfer);
      - the thread that packs the clipboard's files ("ClipboardPacker"):
        sendFileToMachine with the archive.

    Messages may be sent from any thread (ControlProtocol::sendText with this
    client); they go out whole and in order, and a sender never waits for the
    server (FramedConnection).

    Lifetime: a derived class calls closeClient() first thing in its destructor,
    so that no message reaches an operation of a half-destroyed object; the
    destructor must run on the message thread.
*/
class ClientIPC : public FramedConnection
{
public:
    class ClientFileTransferIPCServer;
    class ClientFileTransferIPC;

    ClientIPC();
    ~ClientIPC() override;

    //==============================================================================
    void connectionMade() override;
    void connectionLost() override;
    void messageReceived (juce::MemoryBlock const& message) override;

    //==============================================================================
    // The operations on the application.

    virtual void prepareLocalAndRemote (int id, bool requestMiddle) = 0;
    virtual void takeBackControl() = 0;
    virtual void addMachine (juce::String const& ip, int port, int id, juce::RectangleList<int>& monitors,
                             juce::Rectangle<int>& area, juce::String const& os) = 0;
    virtual void removeMachine (juce::String const& ip, int port, int id) = 0;
    virtual void clearMachines() = 0;
    virtual void updateMachinePosition (int id, int x, int y, bool moveComponent) = 0;
    virtual void updateMachineDisplay (juce::ValueTree const& tree) = 0;
    virtual void resizeContentComponent (int width, int height) = 0;
    virtual void jumpTo (int id) = 0;
    virtual void jumpToMiddle (bool updateVirtual) = 0;
    virtual void gotReceivingModeMessage (juce::String const& fromOS) = 0;
    virtual void gotIdleModeMessage() = 0;
    virtual void stopSocketThread (bool checkPartner) = 0;
    virtual void stopListenerThread() = 0;
    virtual void tellMainComponentIAmServer() = 0;
    virtual void sendFileToMachine (juce::File file, int id, bool fromDrag) = 0;
    virtual juce::Array<juce::File> checkPasteboardForDraggedFiles() = 0;
    virtual juce::Array<juce::File> checkPasteboardForFiles() = 0;
    virtual void addFileToClipboard (juce::File file, bool toDragPasteboard) = 0;
    virtual void addMultipleFilesOrDirsToClipboard (juce::Array<juce::File> const& files) = 0;
    virtual void emptyClipboard() = 0;
    virtual juce::FileLogger* getLogger() = 0;
    virtual void setCurrentInputID (int id) = 0;
    virtual void setCurrentReceivingID (int id) = 0;

    //==============================================================================
    /** What one discovery came to. */
    enum class Discovery
    {
        joined,           // a server accepted this machine, and the control connection is made
        notAccepted,      // nobody accepted it: no answer, rejections only, or the wait for approval given up
        connectFailed     // a server accepted it, but the control connection failed: a server exists
    };

    /** Runs one discovery of at most 'attempts' requests on the calling
        juce::Thread. Once joined, the file-transfer listener is created. Only a
        datagram from port 25476 counts as a reply, and an acceptance only when
        its UDPPORT is the port the request went from. Only one discovery runs at
        a time; a second caller waits for the first. */
    Discovery udpConnectToServer (int attempts = searchAttempts);

    static constexpr int searchAttempts = 10;
    static constexpr int briefSearchAttempts = 3;   // a backup's, before it serves

    /** What an acceptance led to: its machine port, and whether the control
        connection was made. */
    struct Joining
    {
        int machinePort = 0;
        bool connected = false;
    };

    /** Reads an acceptance, adopts (and saves) its cluster ID when this machine
        has none and connects the control connection to serverIPToUse at
        serverPortToUse + 1. */
    Joining handleAcceptanceMessage (juce::String const& reply, juce::String const& serverIPToUse, int serverPortToUse);

    /** Sends "Send clipboard from ID1: " + fromID + " to ID2: " + toID. */
    void requestClipboardFromTo (int fromID, int toID);

    /** Sends "Mode change receiving ID: " + id (-1: input is back on this machine). */
    void sendMachineReceivingModeMessage (int id);

    /** Creates a cluster server in this process and keeps it in ipcServer; a
        server held before is deleted once the new one exists. When the server
        gives way to another, it is ended on the message thread (giveWay). */
    void createOwnServer();

    /** The monitors this machine announces when it joins (the desktop's unless
        set); set it before the first discovery. Not owned. */
    void setDisplaySource (DisplaySource& source) noexcept  { displaySource = &source; }
    DisplaySource& getDisplaySource() const noexcept        { return *displaySource; }

    /** True while this process hosts the cluster server. Callable from any thread. */
    bool hostsServer() const noexcept  { return hostingServer.load(); }

    /** Opens a sending file transfer of 'file' to ip at port (the target's
        file-transfer port), replacing (and so closing) the previous one. Logs
        "ClientFileTransfer sender: connection failed" when it cannot connect.
        Callable from any thread (the clipboard's files are sent from the
        thread that packs them). */
    void openOutgoingFileTransfer (juce::File const& file, juce::String const& ip, int port, bool fromDrag);

    /** Ends everything that could still call an operation: the reconnect
        search, the control connection, a packing of clipboard files in
        progress (stopped, leaving no archive behind), the file transfers.
        Idempotent; the derived class's destructor calls it first. */
    void closeClient();

    /** A discovery in progress gives up at its next step, and later ones at
        once: the program is quitting. Any thread. */
    void abandonSearching() noexcept  { stopSearching = true; }

    //==============================================================================
    std::atomic<int> clientID { -1 };          // own machine ID, from the server's acceptance
    std::atomic<int> clusterID { -1 };         // -1: none yet
    std::atomic<int> currentInputID { -1 };
    std::atomic<int> currentReceivingID { -1 };
    std::unique_ptr<ClientFileTransferIPCServer> fileTransferServer;
    std::unique_ptr<ClientFileTransferIPC> outgoingFileTransfer;   // replaced under outgoingLock
    std::atomic<bool> isBackupServer { false };
    std::unique_ptr<IPCServer> ipcServer;
    juce::String serverIP;                     // source of the last discovery reply
    int serverPort = 0;
    std::atomic<bool> destroying { false };
    std::atomic<bool> startingUp { true };
    std::unique_ptr<juce::DatagramSocket> discoverySocket;

protected:
    /** The system clipboard's text, and putting a text on it. The application
        may route them through its own pasteboard. */
    virtual juce::String getTextFromClipboard();
    virtual void copyTextToClipboard (juce::String const& text);

    /** Searches in the background, as after a lost connection, until a
        server accepts this machine and it joins, or until the client closes.
        To take over as a backup does, it serves when a brief search finds no
        server first. */
    void launchReconnectThread (bool takeOver = false);

private:
    class ReconnectThread;

    /** Ends the server this machine hosts, when it is 'server' (message thread). */
    void giveWay (IPCServer const* server);

    bool searchAbandoned() const;
    void postToMessageThread (std::function<void (ClientIPC&)> work);
    void handOverClipboard (int targetID);
    void sendDraggedFiles (int targetID);

    DisplaySource* displaySource = &DisplaySource::desktop();
    std::unique_ptr<FileTransfer::ClipboardPacker> clipboardPacker;   // made by the control connection's reader
    std::mutex outgoingLock;
    std::atomic<bool> hostingServer { false };
    std::atomic<bool> stopSearching { false };
    juce::CriticalSection discoveryLock;         // held by a whole discovery run
    juce::CriticalSection reconnectLock;         // guards reconnectThread and the closing
    juce::CriticalSection serverLock;            // held while ipcServer is replaced
    std::unique_ptr<juce::Thread> reconnectThread;
    bool closed = false;                         // guarded by reconnectLock

    JUCE_DECLARE_WEAK_REFERENCEABLE (ClientIPC)
    JUCE_DECLARE_NON_COPYABLE (ClientIPC)
};
