#pragma once

#include "ipc/IPCServer.h"

/** The server's control connection to one machine.

    Its callbacks run on its own reading thread ("JUCE IPC"). Every message it
    reads counts as sent by the machine it was paired with (machineID); an
    unpaired connection (machineID -1) has its messages ignored. */
class IPCServer::ServerIPC : public juce::InterprocessConnection
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

    /** Sends one payload as one frame. Frames sent from several threads never
        interleave. A frame that cannot be written whole within sendTimeoutMs
        (a peer that stopped reading) ends all writing on this connection, which
        is then disconnected on the message thread and handled as lost. */
    bool sendPayload (juce::MemoryBlock const& payload);

    bool isBackupServer = false;
    int machineID = -1;               // -1: unpaired
    IPCServer* owner = nullptr;

    /** Tells this connection apart from a later one at the same address. */
    juce::int64 const serial;

    static constexpr int sendTimeoutMs = 2000;

private:
    juce::CriticalSection sendLock;
    bool sendingStopped = false;      // guarded by sendLock

    JUCE_DECLARE_NON_COPYABLE (ServerIPC)
};
