#pragma once

#include <juce_events/juce_events.h>

#include <map>
#include <memory>

struct Machine;

/** The cluster server: accepts machines after discovery, owns their records and
    control connections, and relays control messages between them. */
class IPCServer : public juce::InterprocessConnectionServer
{
public:
    class ServerIPC;
    class UDPThread;
};

/** The server's control connection to one machine. */
class IPCServer::ServerIPC : public juce::InterprocessConnection
{
public:
    explicit ServerIPC (IPCServer* ownerToUse);
    ~ServerIPC() override;

    void connectionMade() override {}
    void connectionLost() override {}
    void messageReceived (juce::MemoryBlock const&) override {}

    bool isBackupServer = false;
    int machineID = -1;
    IPCServer* owner = nullptr;
};
