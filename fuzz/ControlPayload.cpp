// Feeds arbitrary control-connection payloads to everything that reads them:
// the text decoding, both readers' keyword tests and field readers, and the
// tree reading with the monitor-information decoding.

#include "ipc/ControlProtocol.h"
#include "ipc/MyQuillsteadIPC.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size)
{
    using namespace ControlProtocol;

    auto text = readText (data, size);

    switch (classifyToServer (text))
    {
        case ToServer::operatingSystem:       (void) readOperatingSystem (text); break;
        case ToServer::machineMoved:          (void) readMachineMoved (text); break;
        case ToServer::modeChangeReceiving:   (void) readModeChangeReceiving (text); break;
        case ToServer::modeChangeIdle:        (void) readModeChangeIdle (text); break;
        case ToServer::sendClipboardFromTo:   (void) readSendClipboardFromTo (text); break;
        case ToServer::sendDraggedFileFromTo: (void) readSendDraggedFileFromTo (text); break;
        case ToServer::routeClipboardTo:      (void) readRouteClipboardTo (text); break;
        case ToServer::startControl:          (void) readStartControl (text); break;
        case ToServer::isServer:              (void) readIsServer (text); break;
        case ToServer::currentInputID:        (void) readCurrentInputID (text); break;
        case ToServer::requestJumpToMiddle:   (void) readRequestJumpToMiddle (text); break;
        case ToServer::takeBackControl:       (void) readTakeBackControl (text); break;
        case ToServer::connectedClient:
        case ToServer::sendMonitors:
        case ToServer::none:                  break;
    }

    switch (classifyToClient (text))
    {
        case ToClient::displayPosition:        (void) readDisplayPosition (text); break;
        case ToClient::resizeContentComponent: (void) readResizeContentComponent (text); break;
        case ToClient::switchMode:             (void) readSwitchMode (text); break;
        case ToClient::removeMachine:          (void) readRemoveMachine (text); break;
        case ToClient::sendClipboardToID:      (void) readSendClipboardToID (text); break;
        case ToClient::sendDraggedFileToID:    (void) readSendDraggedFileToID (text); break;
        case ToClient::copyToClipboard:        (void) readCopyToClipboard (text); break;
        case ToClient::currentInputID:         (void) readCurrentInputID (text); break;
        case ToClient::currentReceivingID:     (void) readCurrentReceivingID (text); break;
        case ToClient::prepareLocalAndRemote:  (void) readPrepareLocalAndRemote (text); break;
        case ToClient::none:
        case ToClient::backupServer:
        case ToClient::clearMonitors:
        case ToClient::emptyYourClipboard:
        case ToClient::jumpToMiddle:
        case ToClient::takeBackControl:        break;
    }

    auto tree = readTree (data, size);

    if (tree.isValid())
    {
        juce::RectangleList<int> monitors;
        juce::Rectangle<int> total;
        decodeMonitorInfo (monitors, total, tree);
        (void) treePayload (tree);
    }

    return 0;
}
