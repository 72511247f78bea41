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
        interleave. When a frame cannot be written whole, or writes have waited
        for the peer sendTimeoutMs in all, without a long pause between the
        waits (a peer that stopped reading), nothing more is written on this
        connection, which is disconnected on the message thread and handled as
        lost: the server's lock is never held for long on such a peer's account. */
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
    bool opened = false;              // guarded by sendLock: the socket is in place
    double blockedMs = 0.0;           // guarded by sendLock
    double lastBlockedAt = 0.0;       // guarded by sendLock

    JUCE_DECLARE_NON_COPYABLE (ServerIPC)
};
