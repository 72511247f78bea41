#pragma once

#include "ipc/FramedConnection.h"

#include <juce_data_structures/juce_data_structures.h>

/*  The control connection's wire format.

    Every message travels as one frame (see FramedConnection) with magicNumber:
    the magic number and the payload length (both 32-bit little-endian), then
    the payload. A payload is either a text (its UTF-8 bytes,
    no terminator, no line end) or a tree in the stream form of
    juce::ValueTree::writeToStream.

    Texts are a fixed keyword followed by fields. Numbers are written as
    juce::String (int) writes them and read with atoi semantics (leading blanks,
    an optional sign, digits up to the first non-digit; no digits read as 0).
    Fields are cut at the FIRST occurrence of a separator, case-sensitively.

    This file is the one place where the texts of the messages are spelled: every
    writer builds its message here and every reader classifies and reads it here.
*/
namespace ControlProtocol
{
    /** The magic number of every connection of the system. */
    inline constexpr juce::uint32 magicNumber = 0xF2B49E2Cu;

    /** The TCP port of the cluster server. */
    inline constexpr int serverPort = 25477;

    //==============================================================================
    // Payloads

    /** The payload of a text message: exactly the UTF-8 bytes of the text. */
    juce::MemoryBlock textPayload (juce::String const& text);

    /** The payload of a tree message: the bytes of writeToStream. */
    juce::MemoryBlock treePayload (juce::ValueTree const& tree);

    /** A payload read as text: UTF-8 decoded up to the first zero byte, so a tree
        payload reads as its type name. Any bytes are safe to pass: ill-formed
        UTF-8 reads as U+FFFD (see NetworkText). */
    juce::String readText (juce::MemoryBlock const& payload);
    juce::String readText (void const* data, size_t size);

    /** A payload read as a tree. Returns an invalid tree for a payload that is no
        tree, and for one that could not be read safely (see TreeStreamCheck). */
    juce::ValueTree readTree (juce::MemoryBlock const& payload);
    juce::ValueTree readTree (void const* data, size_t size);

    /** True when a payload holds a zero byte. A text this system sends never
        does: a received text (a payload that a keyword test recognises) that
        holds one was cut short and padded, and is dropped. Trees hold zero
        bytes by their form. */
    bool holdsZeroByte (juce::MemoryBlock const& payload);

    /** Sends a text as one frame, from any thread: frames never interleave (see
        FramedConnection). False when the connection takes no frames. */
    bool sendText (FramedConnection& connection, juce::String const& text);

    /** Sends a tree as one frame, from any thread. */
    bool sendTree (FramedConnection& connection, juce::ValueTree const& tree);

    /** Kinds of frame of which only the newest waiting one matters
        (FramedConnection::sendLatest): on a connection, a newer clipboard
        makes an older one moot ("Copy to clipboard: " to a machine, "Route
        clipboard to ID: " to the server), as does a newer desktop of the
        same machine ("changedMonitorInfo"). */
    inline constexpr const char* clipboardKind = "clipboard";
    juce::String desktopKind (int id);

    //==============================================================================
    // Fields

    /** atoi semantics on a field. */
    int readNumber (juce::String const& field);

    /** The text after the first occurrence of 'separator'; empty when it is missing. */
    juce::String textAfter (juce::String const& text, juce::String const& separator);

    /** The text before the first occurrence of 'separator'; all of it when it is missing. */
    juce::String textBefore (juce::String const& text, juce::String const& separator);

    /** The number before 'behind' in the text after 'inFront'. */
    int numberBetween (juce::String const& text, juce::String const& inFront, juce::String const& behind);

    /** The number after the first occurrence of 'separator'. */
    int numberAfter (juce::String const& text, juce::String const& separator);

    //==============================================================================
    // Client to server

    enum class ToServer
    {
        none,                   // no keyword matched: read the payload as a tree
        connectedClient,        // starts with "Connected client: "
        operatingSystem,        // starts with "Operating system: "
        sendMonitors,           // equals "Send monitors"
        machineMoved,           // starts with "Machine moved"
        modeChangeReceiving,    // starts with "Mode change receiving"
        modeChangeIdle,         // starts with "Mode change idle"
        sendClipboardFromTo,    // starts with "Send clipboard from ID1: "
        sendDraggedFileFromTo,  // starts with "Send dragged file from ID1: "
        routeClipboardTo,       // starts with "Route clipboard to ID: "
        startControl,           // starts with "Start control from "
        isServer,               // starts with "Is server: "
        currentInputID,         // starts with "Current input ID:"
        requestJumpToMiddle,    // starts with "Request jump to middle:"
        takeBackControl         // starts with "Take back control: "
    };

    /** The server's keyword tests, in their order; the first that holds decides. */
    ToServer classifyToServer (juce::String const& text);

    /** The same tests on a payload, of which only the first bytes are decoded
        (a clipboard may be large): the same result as on readText (payload). */
    ToServer classifyToServer (juce::MemoryBlock const& payload);

    juce::String connectedClient (int ownID);
    juce::String operatingSystem (juce::String const& os);
    juce::String isServer (bool hostsServer);
    juce::String sendMonitors();
    juce::String machineMoved (int id, int x, int y);
    juce::String modeChangeReceiving (int receivingID);
    juce::String modeChangeIdle (int previousReceivingID);
    juce::String sendClipboardFromTo (int fromID, int toID);
    juce::String sendDraggedFileFromTo (int fromID, int toID);
    juce::String routeClipboardTo (int id, juce::String const& clipboardText);
    juce::String startControl (int fromID, int toID);
    juce::String currentInputID (int id);       // also the server's announcement
    juce::String requestJumpToMiddle (int id);
    juce::String takeBackControl (int id);

    struct Position { int id = 0, x = 0, y = 0; };
    struct FromTo { int from = 0, to = 0; };
    struct RoutedClipboard { int id = 0; juce::String text; };

    int readConnectedClient (juce::String const& text);
    juce::String readOperatingSystem (juce::String const& text);
    Position readMachineMoved (juce::String const& text);
    int readModeChangeReceiving (juce::String const& text);
    int readModeChangeIdle (juce::String const& text);
    FromTo readSendClipboardFromTo (juce::String const& text);
    FromTo readSendDraggedFileFromTo (juce::String const& text);
    RoutedClipboard readRouteClipboardTo (juce::String const& text);
    FromTo readStartControl (juce::String const& text);
    bool readIsServer (juce::String const& text);

    /** Sends "Route clipboard to ID: " + id + " content: " + text, written
        straight from the text's UTF-8 (a large text is not copied twice), as
        the connection's clipboard (sendLatest with clipboardKind). A text
        that would make a frame beyond the connection's maxFrameBytes is not
        sent: false, and a log line with its size. */
    bool sendClipboardRoute (FramedConnection& connection, int id, juce::String const& text);

    /** What the server relays for a "Route clipboard to ID: " payload: the
        machine it goes to and the "Copy to clipboard: " payload, the same as
        readRouteClipboardTo and copyToClipboard make of readText (payload).
        Its size is known before it is made, and it is written straight from
        the received bytes at that size: whatever the bytes, a relay holds the
        received and the relayed payload and nothing more. Without
        withPayload, only the machine and the size are read (nothing is
        allocated). */
    struct RelayedClipboard { int id = 0; size_t size = 0; juce::MemoryBlock payload; };
    RelayedClipboard relayClipboard (juce::MemoryBlock const& routePayload, bool withPayload = true);
    int readCurrentInputID (juce::String const& text);
    int readRequestJumpToMiddle (juce::String const& text);
    int readTakeBackControl (juce::String const& text);

    //==============================================================================
    // Server to client

    enum class ToClient
    {
        none,                   // no keyword matched: read the payload as a tree
        backupServer,           // equals "Backup server"
        displayPosition,        // starts with "Display position"
        resizeContentComponent, // starts with "Resize content component"
        clearMonitors,          // equals "Clear monitors"
        switchMode,             // starts with "Switch mode"
        removeMachine,          // starts with "Remove machine "
        sendClipboardToID,      // starts with "Send clipboard to ID: "
        sendDraggedFileToID,    // starts with "Send dragged file to ID: "
        copyToClipboard,        // starts with "Copy to clipboard: "
        emptyYourClipboard,     // equals "Empty your clipboard"
        currentInputID,         // starts with "Current input ID:"
        currentReceivingID,     // starts with "Current receiving ID:"
        prepareLocalAndRemote,  // starts with "Prepare local and remote"
        jumpToMiddle,           // equals "Jump to middle"
        takeBackControl         // equals "Take back control"
    };

    /** The client's keyword tests, in their order; the first that holds decides. */
    ToClient classifyToClient (juce::String const& text);

    /** The same tests on a payload, of which only the first bytes are decoded. */
    ToClient classifyToClient (juce::MemoryBlock const& payload);

    juce::String backupServer();
    juce::String displayPosition (int id, int x, int y);
    juce::String resizeContentComponent (int width, int height);
    juce::String clearMonitors();
    juce::String switchModeIdle();
    juce::String switchModeReceivingFromOS (juce::String const& senderOS);
    juce::String removeMachine (juce::String const& ip, int port, int id);
    juce::String sendClipboardToID (int targetID);
    juce::String sendDraggedFileToID (int targetID);
    juce::String copyToClipboard (juce::String const& clipboardText);
    juce::String emptyYourClipboard();
    juce::String currentReceivingID (int id);
    juce::String prepareLocalAndRemote (int targetID);
    juce::String jumpToMiddle();
    juce::String takeBackControlOrder();

    struct Size { int width = 0, height = 0; };
    struct RemovedMachine { juce::String ip; int port = 0; int id = 0; };

    /** What a "Switch mode" text asks for: receiving (with the sender's OS), idle,
        or, for a text that contains both words, both in that order. */
    struct SwitchMode { bool receiving = false; juce::String senderOS; bool idle = false; };

    Position readDisplayPosition (juce::String const& text);
    Size readResizeContentComponent (juce::String const& text);
    SwitchMode readSwitchMode (juce::String const& text);
    RemovedMachine readRemoveMachine (juce::String const& text);
    int readSendClipboardToID (juce::String const& text);
    int readSendDraggedFileToID (juce::String const& text);
    juce::String readCopyToClipboard (juce::String const& text);

    /** The text of a "Copy to clipboard: " payload, decoded once from the bytes after the keyword. */
    juce::String readCopyToClipboard (juce::MemoryBlock const& payload);
    int readCurrentReceivingID (juce::String const& text);
    int readPrepareLocalAndRemote (juce::String const& text);

    //==============================================================================
    // Tree types

    inline constexpr const char* newMonitorInfoType = "newMonitorInfo";
    inline constexpr const char* changedMonitorInfoType = "changedMonitorInfo";
    inline constexpr const char* machineInfoType = "machineInfo";
}
