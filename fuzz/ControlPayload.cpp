// Feeds arbitrary control-connection payloads to everything that reads them:
// the text decoding, both readers' keyword tests and field readers, and the
// tree reading with the monitor-information decoding. Every text of a tree
// that is read (type, property names, string values) must be well-formed
// UTF-8, and is put through the string operations its readers use. What is
// read from a payload's bytes without decoding all of them (the keyword
// tests, the relayed and the received clipboard) must equal what the same
// readers make of the decoded text.

#include "ipc/ControlProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MyQuillsteadIPC.h"
#include "ipc/NetworkText.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size);

namespace
{
void useText (juce::String const& text)
{
    auto const* raw = text.toRawUTF8();

    if (! NetworkText::isWellFormed (raw, std::strlen (raw)))
        __builtin_trap();

    (void) text.length();
    (void) text.fromFirstOccurrenceOf (":", false, false).upToLastOccurrenceOf (" ", false, false);
    (void) text.toUpperCase().hashCode();
    (void) (text + text.substring (1)).getNumBytesAsUTF8();
}

void useValue (juce::var const& value)
{
    (void) value.toString();

    if (value.isString())
        useText (value.toString());

    if (auto const* array = value.getArray())
        for (auto const& element : *array)
            useValue (element);
}

void useTexts (juce::ValueTree const& tree)
{
    useText (tree.getType().toString());

    for (int i = 0; i < tree.getNumProperties(); ++i)
    {
        useText (tree.getPropertyName (i).toString());
        useValue (tree.getProperty (tree.getPropertyName (i)));
    }

    for (auto const& child : tree)
        useTexts (child);
}

// What a machine does with a "machineInfo" tree, and the server with a record.
void useAsMachineInfo (juce::ValueTree const& tree)
{
    Machine record;
    record.IP = tree.getProperty ("IP").toString();
    record.port = propertyAsInt (tree.getProperty ("port"));
    record.OS = tree.getProperty ("OS").toString();
    decodeMonitorInfo (record.displays, record.totalArea, tree);
    (void) computeMachineID (record.IP);
    (void) createMachineInfo (&record, propertyAsInt (tree.getProperty ("ID"))).toXmlString();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size)
{
    using namespace ControlProtocol;

    auto text = readText (data, size);
    juce::MemoryBlock const payload (data, size);

    if (classifyToServer (payload) != classifyToServer (text) || classifyToClient (payload) != classifyToClient (text))
        __builtin_trap();

    if (classifyToServer (text) == ToServer::routeClipboardTo)
    {
        auto const relayed = relayClipboard (payload);
        auto const routed = readRouteClipboardTo (text);

        if (relayed.id != routed.id || relayed.payload != textPayload (copyToClipboard (routed.text)))
            __builtin_trap();
    }

    if (classifyToClient (text) == ToClient::copyToClipboard && readCopyToClipboard (payload) != readCopyToClipboard (text))
        __builtin_trap();

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
        useTexts (tree);
        useAsMachineInfo (tree);
        (void) tree.toXmlString();
        (void) treePayload (tree);
    }

    return 0;
}
