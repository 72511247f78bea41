#include "ipc/ControlProtocol.h"
#include "ipc/MyQuillsteadIPC.h"
#include "ipc/TreeStreamCheck.h"

#include <gmock/gmock.h>

#include <vector>

using namespace ControlProtocol;

namespace
{
juce::MemoryBlock bytes (std::vector<juce::uint8> const& b)
{
    return { b.data(), b.size() };
}
} // namespace

TEST (ControlProtocol, MessagesAreSpelledAsPeersExpect)
{
    // client to server
    EXPECT_EQ (connectedClient (1734945242), "Connected client: 1734945242");
    EXPECT_EQ (operatingSystem ("MAC"), "Operating system: MAC");
    EXPECT_EQ (isServer (true), "Is server: TRUE");
    EXPECT_EQ (isServer (false), "Is server: FALSE");
    EXPECT_EQ (sendMonitors(), "Send monitors");
    EXPECT_EQ (machineMoved (7, -120, 40), "Machine moved ID: 7 x: -120 y: 40");
    EXPECT_EQ (modeChangeReceiving (-1), "Mode change receiving ID: -1");
    EXPECT_EQ (modeChangeIdle (12), "Mode change idle ID: 12");
    EXPECT_EQ (sendClipboardFromTo (3, 4), "Send clipboard from ID1: 3 to ID2: 4");
    EXPECT_EQ (sendDraggedFileFromTo (3, 4), "Send dragged file from ID1: 3 to ID2: 4");
    EXPECT_EQ (routeClipboardTo (9, "hi"), "Route clipboard to ID: 9 content: hi");
    EXPECT_EQ (startControl (5, 6), "Start control from 5 to 6");
    EXPECT_EQ (currentInputID (42), "Current input ID: 42");
    EXPECT_EQ (requestJumpToMiddle (8), "Request jump to middle: 8");
    EXPECT_EQ (takeBackControl (8), "Take back control: 8");

    // server to client
    EXPECT_EQ (backupServer(), "Backup server");
    EXPECT_EQ (displayPosition (3, 10, 20), "Display position ID: 3 x: 10 y: 20");
    EXPECT_EQ (resizeContentComponent (4032, 2376), "Resize content component width: 4032 height: 2376");
    EXPECT_EQ (clearMonitors(), "Clear monitors");
    EXPECT_EQ (switchModeIdle(), "Switch mode: idle");
    EXPECT_EQ (switchModeReceivingFromOS ("WIN"), "Switch mode: receiving from OS: WIN");
    EXPECT_EQ (removeMachine ("192.168.1.20", 50123, 1734945242), "Remove machine IP: 192.168.1.20 port: 50123 ID: 1734945242");
    EXPECT_EQ (sendClipboardToID (11), "Send clipboard to ID: 11");
    EXPECT_EQ (sendDraggedFileToID (11), "Send dragged file to ID: 11");
    EXPECT_EQ (copyToClipboard ("x y"), "Copy to clipboard: x y");
    EXPECT_EQ (emptyYourClipboard(), "Empty your clipboard");
    EXPECT_EQ (currentReceivingID (-1), "Current receiving ID: -1");
    EXPECT_EQ (prepareLocalAndRemote (77), "Prepare local and remote: 77");
    EXPECT_EQ (jumpToMiddle(), "Jump to middle");
    EXPECT_EQ (takeBackControlOrder(), "Take back control");
}

TEST (ControlProtocol, EveryMessageIsClassifiedByItsOwnReaderOnly)
{
    struct ToServerCase { juce::String text; ToServer kind; };
    std::vector<ToServerCase> toServer {
        { connectedClient (1), ToServer::connectedClient },
        { operatingSystem ("MAC"), ToServer::operatingSystem },
        { sendMonitors(), ToServer::sendMonitors },
        { machineMoved (1, 2, 3), ToServer::machineMoved },
        { modeChangeReceiving (1), ToServer::modeChangeReceiving },
        { modeChangeIdle (1), ToServer::modeChangeIdle },
        { sendClipboardFromTo (1, 2), ToServer::sendClipboardFromTo },
        { sendDraggedFileFromTo (1, 2), ToServer::sendDraggedFileFromTo },
        { routeClipboardTo (1, "Send monitors"), ToServer::routeClipboardTo },
        { startControl (1, 2), ToServer::startControl },
        { isServer (true), ToServer::isServer },
        { currentInputID (1), ToServer::currentInputID },
        { requestJumpToMiddle (1), ToServer::requestJumpToMiddle },
        { takeBackControl (1), ToServer::takeBackControl },
    };

    for (auto& c : toServer)
        EXPECT_EQ (classifyToServer (c.text), c.kind) << c.text;

    struct ToClientCase { juce::String text; ToClient kind; };
    std::vector<ToClientCase> toClient {
        { backupServer(), ToClient::backupServer },
        { displayPosition (1, 2, 3), ToClient::displayPosition },
        { resizeContentComponent (1, 2), ToClient::resizeContentComponent },
        { clearMonitors(), ToClient::clearMonitors },
        { switchModeIdle(), ToClient::switchMode },
        { switchModeReceivingFromOS ("MAC"), ToClient::switchMode },
        { removeMachine ("1.2.3.4", 1, 2), ToClient::removeMachine },
        { sendClipboardToID (1), ToClient::sendClipboardToID },
        { sendDraggedFileToID (1), ToClient::sendDraggedFileToID },
        { copyToClipboard ("Backup server"), ToClient::copyToClipboard },
        { emptyYourClipboard(), ToClient::emptyYourClipboard },
        { currentInputID (1), ToClient::currentInputID },
        { currentReceivingID (1), ToClient::currentReceivingID },
        { prepareLocalAndRemote (1), ToClient::prepareLocalAndRemote },
        { jumpToMiddle(), ToClient::jumpToMiddle },
        { takeBackControlOrder(), ToClient::takeBackControl },
    };

    for (auto& c : toClient)
        EXPECT_EQ (classifyToClient (c.text), c.kind) << c.text;

    // Equality and prefix tests are exact and case-sensitive.
    EXPECT_EQ (classifyToServer ("Send monitors "), ToServer::none);
    EXPECT_EQ (classifyToServer ("send monitors"), ToServer::none);
    EXPECT_EQ (classifyToServer ("Connected client:"), ToServer::none);
    EXPECT_EQ (classifyToServer ("Current input ID:"), ToServer::currentInputID);
    EXPECT_EQ (classifyToClient ("Backup server "), ToClient::none);
    EXPECT_EQ (classifyToClient ("Jump to middle: 4"), ToClient::none);
    EXPECT_EQ (classifyToClient ("Take back control: 4"), ToClient::none);
    EXPECT_EQ (classifyToClient (""), ToClient::none);
}

TEST (ControlProtocol, FieldsFollowTheFirstSeparatorAndAtoi)
{
    EXPECT_EQ (readNumber ("42"), 42);
    EXPECT_EQ (readNumber ("  -17xyz"), -17);
    EXPECT_EQ (readNumber ("+5"), 5);
    EXPECT_EQ (readNumber (""), 0);
    EXPECT_EQ (readNumber ("abc"), 0);
    EXPECT_EQ (readNumber ("2147483647"), 2147483647);
    EXPECT_EQ (readNumber ("-2147483648"), std::numeric_limits<int>::min());

    auto moved = readMachineMoved ("Machine moved ID: 7 x: -120 y: 40");
    EXPECT_EQ (moved.id, 7);
    EXPECT_EQ (moved.x, -120);
    EXPECT_EQ (moved.y, 40);

    moved = readMachineMoved ("Machine moved ID: 7 x: 5");
    EXPECT_EQ (moved.id, 7);
    EXPECT_EQ (moved.x, 5);
    EXPECT_EQ (moved.y, 0);

    auto position = readDisplayPosition ("Display position ID: 3 x: 10 y: 20");
    EXPECT_EQ (position.id, 3);
    EXPECT_EQ (position.x, 10);
    EXPECT_EQ (position.y, 20);
    position = readDisplayPosition ("Display position ID: 3 x: 10");
    EXPECT_EQ (position.x, 10);
    EXPECT_EQ (position.y, 0);

    // Everything after the first "content: " is the clipboard text.
    auto routed = readRouteClipboardTo (routeClipboardTo (9, "a content: b"));
    EXPECT_EQ (routed.id, 9);
    EXPECT_EQ (routed.text, "a content: b");
    EXPECT_EQ (readRouteClipboardTo (routeClipboardTo (9, "")).text, "");

    EXPECT_EQ (readCopyToClipboard ("Copy to clipboard: "), "");
    EXPECT_EQ (readCopyToClipboard ("Copy to clipboard: Copy to clipboard: x"), "Copy to clipboard: x");

    auto mode = readSwitchMode (switchModeReceivingFromOS ("WIN"));
    EXPECT_TRUE (mode.receiving);
    EXPECT_EQ (mode.senderOS, "WIN");
    EXPECT_FALSE (mode.idle);
    mode = readSwitchMode (switchModeIdle());
    EXPECT_FALSE (mode.receiving);
    EXPECT_TRUE (mode.idle);

    EXPECT_TRUE (readIsServer ("Is server: TRUE"));
    EXPECT_FALSE (readIsServer ("Is server: true"));
    EXPECT_FALSE (readIsServer ("Is server: TRUE "));

    auto removed = readRemoveMachine (removeMachine ("10.0.0.9", 50123, 99));
    EXPECT_EQ (removed.ip, "10.0.0.9");
    EXPECT_EQ (removed.port, 50123);
    EXPECT_EQ (removed.id, 99);

    auto fromTo = readSendClipboardFromTo (sendClipboardFromTo (-1, 2051214693));
    EXPECT_EQ (fromTo.from, -1);
    EXPECT_EQ (fromTo.to, 2051214693);
    fromTo = readStartControl (startControl (5, 6));
    EXPECT_EQ (fromTo.from, 5);
    EXPECT_EQ (fromTo.to, 6);

    auto size = readResizeContentComponent (resizeContentComponent (4032, 2376));
    EXPECT_EQ (size.width, 4032);
    EXPECT_EQ (size.height, 2376);

    EXPECT_EQ (readCurrentInputID ("Current input ID:12"), 12);
    EXPECT_EQ (readCurrentInputID (currentInputID (-1)), -1);
    EXPECT_EQ (readCurrentReceivingID (currentReceivingID (33)), 33);
    EXPECT_EQ (readModeChangeReceiving (modeChangeReceiving (-1)), -1);
    EXPECT_EQ (readModeChangeIdle ("Mode change idle"), 0);
    EXPECT_EQ (readRequestJumpToMiddle (requestJumpToMiddle (4)), 4);
    EXPECT_EQ (readTakeBackControl (takeBackControl (4)), 4);
    EXPECT_EQ (readPrepareLocalAndRemote (prepareLocalAndRemote (4)), 4);
    EXPECT_EQ (readSendClipboardToID (sendClipboardToID (4)), 4);
    EXPECT_EQ (readSendDraggedFileToID (sendDraggedFileToID (4)), 4);
    EXPECT_EQ (readOperatingSystem (operatingSystem ("WIN")), "WIN");
}

TEST (ControlProtocol, PayloadsAreExactBytesAndAnyBytesReadSafely)
{
    auto payload = textPayload ("Send monitors");
    ASSERT_EQ (payload.getSize(), 13u);
    EXPECT_EQ (std::memcmp (payload.getData(), "Send monitors", 13), 0);

    auto unicode = textPayload (juce::String::fromUTF8 ("Copy to clipboard: \xc3\xa9"));
    EXPECT_EQ (unicode.getSize(), 21u);
    EXPECT_EQ (readText (unicode), juce::String::fromUTF8 ("Copy to clipboard: \xc3\xa9"));

    // A tree payload reads as its type name, which matches no keyword.
    juce::ValueTree tree ("newMonitorInfo");
    addMonitorInfo ({}, { 0, 0, 10, 10 }, tree);
    auto treeBytes = treePayload (tree);
    EXPECT_EQ (readText (treeBytes), "newMonitorInfo");
    EXPECT_EQ (classifyToServer (readText (treeBytes)), ToServer::none);
    EXPECT_TRUE (readTree (treeBytes).isEquivalentTo (tree));

    // Text stops at the first zero byte.
    EXPECT_EQ (readText (bytes ({ 'S', 'e', 'n', 'd', 0, 'x' })), "Send");
    EXPECT_EQ (readText (bytes ({ 0, 'x' })), "");
    EXPECT_EQ (readText (juce::MemoryBlock()), "");

    // Invalid UTF-8, and a text that ends inside a multi-byte sequence.
    EXPECT_EQ (readText (bytes ({ 'a', 0xff, 0xfe, 'b' })).length(), 4);
    for (juce::uint8 lead : { 0xc3, 0xe2, 0xf0, 0xff })
    {
        auto text = readText (bytes ({ 'a', lead }));
        EXPECT_EQ (text.length(), 2);
        EXPECT_EQ (text[0], 'a');
    }

    // JUCE reads a text payload as a childless tree named after the text, a type
    // that no reader expects.
    auto asTree = readTree (textPayload ("Send monitors"));
    EXPECT_EQ (asTree.getType().toString(), "Send monitors");
    EXPECT_EQ (asTree.getNumChildren(), 0);
    EXPECT_FALSE (readTree (juce::MemoryBlock()).isValid());
}

TEST (TreeStreamCheck, RefusesHostileStreamsAndPassesOrdinaryOnes)
{
    auto check = [] (std::vector<juce::uint8> const& b) { return TreeStreamCheck::isSafeToRead (b.data(), b.size()); };

    // Ordinary trees, including one that ends early and one with trailing bytes.
    juce::ValueTree info ("machineInfo");
    info.setProperty ("IP", "10.0.0.1", nullptr);
    info.setProperty ("port", 1, nullptr);
    addMonitorInfo (juce::RectangleList<int> ({ 0, 0, 5, 5 }), { 0, 0, 5, 5 }, info);
    auto block = treePayload (info);
    std::vector<juce::uint8> good (static_cast<juce::uint8 const*> (block.getData()),
                                   static_cast<juce::uint8 const*> (block.getData()) + block.getSize());
    EXPECT_TRUE (check (good));

    auto truncated = good;
    truncated.resize (good.size() - 7);
    EXPECT_TRUE (check (truncated));
    auto partial = readTree (truncated.data(), truncated.size());
    EXPECT_TRUE (partial.isValid());

    auto trailing = good;
    trailing.insert (trailing.end(), { 1, 2, 3 });
    EXPECT_TRUE (readTree (trailing.data(), trailing.size()).isEquivalentTo (info));

    // Deep nesting: each level is "a\0", no properties, one child.
    std::vector<juce::uint8> deep;
    for (int i = 0; i < 200000; ++i)
        deep.insert (deep.end(), { 'a', 0, 0, 1, 1 });
    EXPECT_FALSE (check (deep));
    EXPECT_FALSE (readTree (deep.data(), deep.size()).isValid());

    // Nesting within the limit is fine.
    std::vector<juce::uint8> shallow;
    for (int i = 0; i < TreeStreamCheck::maxDepth; ++i)
        shallow.insert (shallow.end(), { 'a', 0, 0, 1, 1 });
    shallow.insert (shallow.end(), { 'a', 0, 0, 0 });
    EXPECT_TRUE (check (shallow));
    EXPECT_TRUE (readTree (shallow.data(), shallow.size()).isValid());

    // Huge counts of children and properties.
    EXPECT_FALSE (check ({ 'a', 0, 0, 4, 0xff, 0xff, 0xff, 0x7f }));
    EXPECT_FALSE (check ({ 'a', 0, 4, 0xff, 0xff, 0xff, 0x7f, 0 }));

    // A property holding a huge binary value, and a huge array.
    EXPECT_FALSE (check ({ 'a', 0, 1, 1, 'p', 0, 4, 0xff, 0xff, 0xff, 0x7f, 8 }));
    EXPECT_FALSE (check ({ 'a', 0, 1, 1, 'p', 0, 1, 2, 7, 4, 0xff, 0xff, 0xff, 0x7f }));

    // Arrays nested inside arrays deeper than the limit.
    std::vector<juce::uint8> arrays { 'a', 0, 1, 1, 'p', 0 };
    for (int i = 0; i < 100000; ++i)
        arrays.insert (arrays.end(), { 1, 10, 7, 1, 1 });
    EXPECT_FALSE (check (arrays));

    // The count -2147483648, which JUCE would negate with an overflow.
    EXPECT_FALSE (check ({ 'a', 0, 0x84, 0, 0, 0, 0x80 }));
    EXPECT_FALSE (check ({ 'a', 0, 0, 0x84, 0, 0, 0, 0x80 }));

    // Negative counts are harmless and left to JUCE.
    EXPECT_TRUE (check ({ 'a', 0, 0x81, 5 }));
    EXPECT_TRUE (readTree (std::vector<juce::uint8> { 'a', 0, 0x81, 5 }.data(), 4).isValid());
}
