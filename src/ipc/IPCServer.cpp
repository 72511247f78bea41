#include "ipc/IPCServer.h"

#include "ipc/ControlProtocol.h"

IPCServer::ServerIPC::ServerIPC (IPCServer* ownerToUse)
    : juce::InterprocessConnection (false, ControlProtocol::magicNumber),
      owner (ownerToUse)
{
}

IPCServer::ServerIPC::~ServerIPC()
{
    disconnect();
}
