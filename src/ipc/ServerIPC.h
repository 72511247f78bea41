#pragma once

#include "ipc/FramedConnection.h"
#include "ipc/IPCServer.h"

/** The server's control connection to one machine.

    Its callbacks run on its own reading thread ("FrameReader"). Every message
    it reads counts as sent by the machine it was paired with (machineID); an
    unpaired connection (machineID -1) has its messages ignored, except a
    "Connected client: " that names a machine waiting for its connection,
    which pairs it with that machine. Frames go out through its writer
    (FramedConnection): a peer that stops reading is closed and handled as
    lost; one that reads slowly gets every frame whole, of its clipboards and
    desktops the newest. A connection that can no longer be read is lost too. */
class IPCServer::ServerIPC : public FramedConnection
{
public:
    explicit ServerIPC (IPCServer* ownerToUse);

    /** Disconnects without reporting a loss and waits for the reading thread. */
    ~ServerIPC() override;

    /** Runs on the listener thread before the reading thread starts. */
    void connectionMade() override;

    /** Posts the removal of this connection's machine to the message thread. */
    void connectionLost() override;

    /** The server's reader of client messages: keyword tests in their order,
        else the payload as a monitor information tree. */
    void messageReceived (juce::MemoryBlock const& message) override;

    bool isBackupServer = false;      // named the backup: its loss names another
    bool toldBackup = false;          // told "Backup server", named or not; guarded by machinesLock
    int machineID = -1;               // -1: unpaired
    IPCServer* owner = nullptr;

    /** Tells this connection apart from a later one at the same address. */
    juce::int64 const serial;

    /** When it was made (juce::Time::getMillisecondCounter). */
    juce::uint32 const created;

    /** Set when this machine sent "Connected client: " while no backup was
        named: it is named once it reports that it does not host the server.
        Read and written on the reading thread only. */
    bool mayBecomeBackup = false;

private:
    JUCE_DECLARE_NON_COPYABLE (ServerIPC)
};
