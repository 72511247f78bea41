#include "ipc/ControlProtocol.h"

#include "core/Logging.h"
#include "ipc/NetworkText.h"
#include "ipc/TreeStreamCheck.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ControlProtocol
{
namespace
{
// Keywords of the client-to-server messages.
const juce::String kConnectedClient = "Connected client: ";
const juce::String kOperatingSystem = "Operating system: ";
const juce::String kSendMonitors = "Send monitors";
const juce::String kMachineMoved = "Machine moved";
const juce::String kModeChangeReceiving = "Mode change receiving";
const juce::String kModeChangeIdle = "Mode change idle";
const juce::String kSendClipboardFrom = "Send clipboard from ID1: ";
const juce::String kSendDraggedFileFrom = "Send dragged file from ID1: ";
const juce::String kRouteClipboard = "Route clipboard to ID: ";
const juce::String kStartControl = "Start control from ";
const juce::String kIsServer = "Is server: ";
const juce::String kCurrentInputID = "Current input ID:";
const juce::String kRequestJumpToMiddle = "Request jump to middle:";
const juce::String kTakeBackControlFor = "Take back control: ";

// Keywords of the server-to-client messages.
const juce::String kBackupServer = "Backup server";
const juce::String kDisplayPosition = "Display position";
const juce::String kResizeContent = "Resize content component";
const juce::String kClearMonitors = "Clear monitors";
const juce::String kSwitchMode = "Switch mode";
const juce::String kRemoveMachine = "Remove machine ";
const juce::String kSendClipboardTo = "Send clipboard to ID: ";
const juce::String kSendDraggedFileTo = "Send dragged file to ID: ";
const juce::String kCopyToClipboard = "Copy to clipboard: ";
const juce::String kEmptyClipboard = "Empty your clipboard";
const juce::String kCurrentReceivingID = "Current receiving ID:";
const juce::String kPrepareLocalAndRemote = "Prepare local and remote";
const juce::String kJumpToMiddle = "Jump to middle";
const juce::String kTakeBackControl = "Take back control";

// Separators inside the texts.
const juce::String sID = " ID: ";
const juce::String sToID2 = " to ID2: ";
const juce::String sContent = "content: ";
const juce::String sFromOS = "from OS: ";

juce::String withNumber (juce::String const& keyword, int number)
{
    return keyword + juce::String (number);
}

// As many bytes as the keyword tests need: every keyword is far shorter.
constexpr size_t keywordBytes = 64;

juce::String keywordText (juce::MemoryBlock const& payload)
{
    return readText (payload.getData(), juce::jmin (payload.getSize(), keywordBytes));
}

/** The bytes of a payload up to its first zero byte (all of them when it holds none). */
size_t textSize (juce::MemoryBlock const& payload)
{
    if (payload.isEmpty())
        return 0;

    auto const* bytes = static_cast<char const*> (payload.getData());
    auto const* zero = static_cast<char const*> (std::memchr (bytes, 0, payload.getSize()));
    return zero != nullptr ? (size_t) (zero - bytes) : payload.getSize();
}

bool startsWithBytes (char const* bytes, size_t size, juce::String const& keyword)
{
    auto const length = keyword.getNumBytesAsUTF8();
    return size >= length && std::memcmp (bytes, keyword.toRawUTF8(), length) == 0;
}
} // namespace

//==============================================================================
juce::MemoryBlock textPayload (juce::String const& text)
{
    return { text.toRawUTF8(), text.getNumBytesAsUTF8() };
}

juce::MemoryBlock treePayload (juce::ValueTree const& tree)
{
    juce::MemoryOutputStream out;
    tree.writeToStream (out);
    return out.getMemoryBlock();
}

juce::String readText (juce::MemoryBlock const& payload)
{
    return readText (payload.getData(), payload.getSize());
}

juce::String readText (void const* data, size_t size)
{
    return NetworkText::fromBytes (data, size);
}

juce::ValueTree readTree (juce::MemoryBlock const& payload)
{
    return readTree (payload.getData(), payload.getSize());
}

juce::ValueTree readTree (void const* data, size_t size)
{
    if (data == nullptr || size == 0 || ! TreeStreamCheck::isSafeToRead (data, size))
        return {};

    return juce::ValueTree::readFromData (data, size);
}

bool holdsZeroByte (juce::MemoryBlock const& payload)
{
    return textSize (payload) < payload.getSize();
}

bool sendText (FramedConnection& connection, juce::String const& text)
{
    return connection.sendMessage (textPayload (text));
}

bool sendTree (FramedConnection& connection, juce::ValueTree const& tree)
{
    return connection.sendMessage (treePayload (tree));
}

juce::String desktopKind (int id)
{
    return changedMonitorInfoType + juce::String (" ") + juce::String (id);
}

//==============================================================================
int readNumber (juce::String const& field)
{
    // atoi as the C library defines it here: strtol, cut to int.
    auto const* text = field.toRawUTF8();
    auto saved = errno;
    auto value = std::strtol (text, nullptr, 10);
    errno = saved;
    return (int) (juce::uint32) (unsigned long) value;
}

juce::String textAfter (juce::String const& text, juce::String const& separator)
{
    return text.fromFirstOccurrenceOf (separator, false, false);
}

juce::String textBefore (juce::String const& text, juce::String const& separator)
{
    return text.upToFirstOccurrenceOf (separator, false, false);
}

int numberBetween (juce::String const& text, juce::String const& inFront, juce::String const& behind)
{
    return readNumber (textBefore (textAfter (text, inFront), behind));
}

int numberAfter (juce::String const& text, juce::String const& separator)
{
    return readNumber (textAfter (text, separator));
}

//==============================================================================
ToServer classifyToServer (juce::String const& text)
{
    if (text.startsWith (kConnectedClient))      return ToServer::connectedClient;
    if (text.startsWith (kOperatingSystem))      return ToServer::operatingSystem;
    if (text == kSendMonitors)                   return ToServer::sendMonitors;
    if (text.startsWith (kMachineMoved))         return ToServer::machineMoved;
    if (text.startsWith (kModeChangeReceiving))  return ToServer::modeChangeReceiving;
    if (text.startsWith (kModeChangeIdle))       return ToServer::modeChangeIdle;
    if (text.startsWith (kSendClipboardFrom))    return ToServer::sendClipboardFromTo;
    if (text.startsWith (kSendDraggedFileFrom))  return ToServer::sendDraggedFileFromTo;
    if (text.startsWith (kRouteClipboard))       return ToServer::routeClipboardTo;
    if (text.startsWith (kStartControl))         return ToServer::startControl;
    if (text.startsWith (kIsServer))             return ToServer::isServer;
    if (text.startsWith (kCurrentInputID))       return ToServer::currentInputID;
    if (text.startsWith (kRequestJumpToMiddle))  return ToServer::requestJumpToMiddle;
    if (text.startsWith (kTakeBackControlFor))   return ToServer::takeBackControl;
    return ToServer::none;
}

ToServer classifyToServer (juce::MemoryBlock const& payload)
{
    return classifyToServer (keywordText (payload));
}

juce::String connectedClient (int ownID)                  { return withNumber (kConnectedClient, ownID); }
juce::String operatingSystem (juce::String const& os)     { return kOperatingSystem + os; }
juce::String isServer (bool hostsServer)                  { return kIsServer + (hostsServer ? "TRUE" : "FALSE"); }
juce::String sendMonitors()                               { return kSendMonitors; }
juce::String modeChangeReceiving (int receivingID)        { return withNumber (kModeChangeReceiving + sID, receivingID); }
juce::String modeChangeIdle (int previousReceivingID)     { return withNumber (kModeChangeIdle + sID, previousReceivingID); }
juce::String currentInputID (int id)                      { return withNumber (kCurrentInputID + " ", id); }
juce::String requestJumpToMiddle (int id)                 { return withNumber (kRequestJumpToMiddle + " ", id); }
juce::String takeBackControl (int id)                     { return withNumber (kTakeBackControlFor, id); }

juce::String machineMoved (int id, int x, int y)
{
    return kMachineMoved + sID + juce::String (id) + " x: " + juce::String (x) + " y: " + juce::String (y);
}

juce::String sendClipboardFromTo (int fromID, int toID)
{
    return kSendClipboardFrom + juce::String (fromID) + sToID2 + juce::String (toID);
}

juce::String sendDraggedFileFromTo (int fromID, int toID)
{
    return kSendDraggedFileFrom + juce::String (fromID) + sToID2 + juce::String (toID);
}

juce::String routeClipboardTo (int id, juce::String const& clipboardText)
{
    return kRouteClipboard + juce::String (id) + " " + sContent + clipboardText;
}

juce::String startControl (int fromID, int toID)
{
    return kStartControl + juce::String (fromID) + " to " + juce::String (toID);
}

juce::String readOperatingSystem (juce::String const& text)
{
    return textAfter (text, kOperatingSystem);
}

Position readMachineMoved (juce::String const& text)
{
    return { numberBetween (text, "ID: ", "x: "),
             numberBetween (text, "x: ", "y: "),
             numberAfter (text, "y: ") };
}

int readConnectedClient (juce::String const& text)      { return numberAfter (text, kConnectedClient); }
int readModeChangeReceiving (juce::String const& text)  { return numberAfter (text, sID); }
int readModeChangeIdle (juce::String const& text)       { return numberAfter (text, sID); }

FromTo readSendClipboardFromTo (juce::String const& text)
{
    return { numberBetween (text, " ID1: ", sToID2), numberAfter (text, sToID2) };
}

FromTo readSendDraggedFileFromTo (juce::String const& text)
{
    return readSendClipboardFromTo (text);
}

RoutedClipboard readRouteClipboardTo (juce::String const& text)
{
    return { numberAfter (text, sID), textAfter (text, sContent) };
}

RelayedClipboard relayClipboard (juce::MemoryBlock const& routePayload, bool withPayload)
{
    // The text after the first "content: " is the clipboard; what comes before
    // it (the keyword and the ID) is decoded and read as the text would be.
    auto const* bytes = static_cast<char const*> (routePayload.getData());
    auto const size = textSize (routePayload);
    auto const marker = sContent.toStdString();
    auto const* found = std::search (bytes, bytes + size, marker.begin(), marker.end());
    auto const headSize = found == bytes + size ? size : (size_t) (found - bytes) + marker.size();

    RelayedClipboard relayed;
    relayed.id = readRouteClipboardTo (readText (bytes, headSize)).id;

    // Well-formed, the clipboard's bytes are its text, of the same size; else
    // each byte of an ill-formed sequence grows to three.
    auto const* content = bytes + headSize;
    auto const contentSize = size - headSize;
    auto const textBytes = NetworkText::decodedSize (content, contentSize);
    auto const keywordSize = kCopyToClipboard.getNumBytesAsUTF8();
    relayed.size = keywordSize + textBytes;

    if (withPayload)
    {
        relayed.payload.setSize (relayed.size);
        auto* out = static_cast<char*> (relayed.payload.getData());
        std::memcpy (out, kCopyToClipboard.toRawUTF8(), keywordSize);

        if (textBytes == contentSize)
            std::memcpy (out + keywordSize, content, contentSize);
        else
            NetworkText::decodeInto (content, contentSize, out + keywordSize);
    }

    return relayed;
}

bool sendClipboardRoute (FramedConnection& connection, int id, juce::String const& text)
{
    auto const head = routeClipboardTo (id, {});
    auto const headSize = head.getNumBytesAsUTF8(), textBytes = text.getNumBytesAsUTF8();
    auto const limit = connection.getLimits().maxFrameBytes;

    if (headSize + textBytes > limit)
    {
        DBGOrLog ("Clipboard: not sending a text of " + juce::String ((juce::int64) textBytes) + " bytes to machine "
                  + juce::String (id) + ", beyond the " + juce::String ((juce::int64) limit) + " bytes a message holds");
        return false;
    }

    // An older clipboard for the same machine still waiting goes before this
    // one is made; one for another machine stays, as that machine's own.
    auto const kind = clipboardKind + juce::String (" ") + juce::String (id);
    connection.dropWaiting (kind);

    juce::MemoryBlock payload (headSize + textBytes);
    payload.copyFrom (head.toRawUTF8(), 0, headSize);
    payload.copyFrom (text.toRawUTF8(), (int) headSize, textBytes);
    return connection.sendLatest (FramedConnection::share (std::move (payload)), kind);
}

FromTo readStartControl (juce::String const& text)
{
    return { numberBetween (text, kStartControl, " to "), numberAfter (text, " to ") };
}

bool readIsServer (juce::String const& text)            { return textAfter (text, kIsServer) == "TRUE"; }
int readCurrentInputID (juce::String const& text)       { return numberAfter (text, kCurrentInputID); }
int readRequestJumpToMiddle (juce::String const& text)  { return numberAfter (text, kRequestJumpToMiddle + " "); }
int readTakeBackControl (juce::String const& text)      { return numberAfter (text, kTakeBackControlFor); }

//==============================================================================
ToClient classifyToClient (juce::String const& text)
{
    if (text == kBackupServer)                   return ToClient::backupServer;
    if (text.startsWith (kDisplayPosition))      return ToClient::displayPosition;
    if (text.startsWith (kResizeContent))        return ToClient::resizeContentComponent;
    if (text == kClearMonitors)                  return ToClient::clearMonitors;
    if (text.startsWith (kSwitchMode))           return ToClient::switchMode;
    if (text.startsWith (kRemoveMachine))        return ToClient::removeMachine;
    if (text.startsWith (kSendClipboardTo))      return ToClient::sendClipboardToID;
    if (text.startsWith (kSendDraggedFileTo))    return ToClient::sendDraggedFileToID;
    if (text.startsWith (kCopyToClipboard))      return ToClient::copyToClipboard;
    if (text == kEmptyClipboard)                 return ToClient::emptyYourClipboard;
    if (text.startsWith (kCurrentInputID))       return ToClient::currentInputID;
    if (text.startsWith (kCurrentReceivingID))   return ToClient::currentReceivingID;
    if (text.startsWith (kPrepareLocalAndRemote)) return ToClient::prepareLocalAndRemote;
    if (text == kJumpToMiddle)                   return ToClient::jumpToMiddle;
    if (text == kTakeBackControl)                return ToClient::takeBackControl;
    return ToClient::none;
}

ToClient classifyToClient (juce::MemoryBlock const& payload)
{
    return classifyToClient (keywordText (payload));
}

juce::String backupServer()                               { return kBackupServer; }
juce::String clearMonitors()                              { return kClearMonitors; }
juce::String switchModeIdle()                             { return kSwitchMode + ": idle"; }
juce::String switchModeReceivingFromOS (juce::String const& senderOS) { return kSwitchMode + ": receiving " + sFromOS + senderOS; }
juce::String sendClipboardToID (int targetID)             { return withNumber (kSendClipboardTo, targetID); }
juce::String sendDraggedFileToID (int targetID)           { return withNumber (kSendDraggedFileTo, targetID); }
juce::String copyToClipboard (juce::String const& text)   { return kCopyToClipboard + text; }
juce::String emptyYourClipboard()                         { return kEmptyClipboard; }
juce::String currentReceivingID (int id)                  { return withNumber (kCurrentReceivingID + " ", id); }
juce::String prepareLocalAndRemote (int targetID)         { return withNumber (kPrepareLocalAndRemote + ": ", targetID); }
juce::String jumpToMiddle()                               { return kJumpToMiddle; }
juce::String takeBackControlOrder()                       { return kTakeBackControl; }

juce::String displayPosition (int id, int x, int y)
{
    return kDisplayPosition + sID + juce::String (id) + " x: " + juce::String (x) + " y: " + juce::String (y);
}

juce::String resizeContentComponent (int width, int height)
{
    return kResizeContent + " width: " + juce::String (width) + " height: " + juce::String (height);
}

juce::String removeMachine (juce::String const& ip, int port, int id)
{
    return kRemoveMachine + "IP: " + ip + " port: " + juce::String (port) + sID + juce::String (id);
}

Position readDisplayPosition (juce::String const& text)
{
    return { numberBetween (text, "ID: ", " x: "),
             numberBetween (text, "x: ", " y: "),
             numberAfter (text, "y: ") };
}

Size readResizeContentComponent (juce::String const& text)
{
    return { numberBetween (text, "width: ", " height: "), numberAfter (text, "height: ") };
}

SwitchMode readSwitchMode (juce::String const& text)
{
    SwitchMode mode;
    mode.receiving = text.contains ("receiving");

    if (mode.receiving)
        mode.senderOS = textAfter (text, sFromOS);

    mode.idle = text.contains ("idle");
    return mode;
}

RemovedMachine readRemoveMachine (juce::String const& text)
{
    return { textBefore (textAfter (text, kRemoveMachine + "IP: "), " port: "),
             numberBetween (text, " port: ", sID),
             numberAfter (text, sID) };
}

int readSendClipboardToID (juce::String const& text)      { return numberAfter (text, sID); }
int readSendDraggedFileToID (juce::String const& text)    { return numberAfter (text, sID); }
juce::String readCopyToClipboard (juce::String const& text) { return textAfter (text, kCopyToClipboard); }

juce::String readCopyToClipboard (juce::MemoryBlock const& payload)
{
    auto const* bytes = static_cast<char const*> (payload.getData());
    auto const size = textSize (payload);

    if (! startsWithBytes (bytes, size, kCopyToClipboard))
        return readCopyToClipboard (readText (payload));

    auto const keywordSize = kCopyToClipboard.getNumBytesAsUTF8();
    return readText (bytes + keywordSize, size - keywordSize);
}
int readCurrentReceivingID (juce::String const& text)     { return numberAfter (text, kCurrentReceivingID); }
int readPrepareLocalAndRemote (juce::String const& text)  { return numberAfter (text, kPrepareLocalAndRemote + ": "); }
} // namespace ControlProtocol
