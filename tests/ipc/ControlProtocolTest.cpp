#include "ipc/ControlProtocol.h"
#include "ipc/MyQuillsteadIPC.h"
#include "ipc/TreeStreamCheck.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <tuple>
#include <vector>

using namespace ControlProtocol;

namespace
{
juce::MemoryBlock bytes (std::vector<juce::uint8> const& b)
{
    return { b.data(), b.size() };
}
} // namespace

TEST (ControlProtocol, MessagesAreSpelledAsPeersExpectAndTellApartByTheirReaderOnly)
{
    // Each message as a peer writes it, and what each reader takes it for.
    struct Case { juce::String built; const char* wire; ToServer server; ToClient client; };
    std::vector<Case> cases {
        { connectedClient (1734945242), "Connected client: 1734945242", ToServer::connectedClient, ToClient::none },
        { operatingSystem ("MAC"), "Operating system: MAC", ToServer::operatingSystem, ToClient::none },
        { isServer (true), "Is server: TRUE", ToServer::isServer, ToClient::none },
        { isServer (false), "Is server: FALSE", ToServer::isServer, ToClient::none },
        { sendMonitors(), "Send monitors", ToServer::sendMonitors, ToClient::none },
        { machineMoved (7, -120, 40), "Machine moved ID: 7 x: -120 y: 40", ToServer::machineMoved, ToClient::none },
        { modeChangeReceiving (-1), "Mode change receiving ID: -1", ToServer::modeChangeReceiving, ToClient::none },
        { modeChangeIdle (12), "Mode change idle ID: 12", ToServer::modeChangeIdle, ToClient::none },
        { sendClipboardFromTo (3, 4), "Send clipboard from ID1: 3 to ID2: 4", ToServer::sendClipboardFromTo, ToClient::none },
        { sendDraggedFileFromTo (3, 4), "Send dragged file from ID1: 3 to ID2: 4", ToServer::sendDraggedFileFromTo, ToClient::none },
        { routeClipboardTo (9, "Send monitors"), "Route clipboard to ID: 9 content: Send monitors", ToServer::routeClipboardTo, ToClient::none },
        { startControl (5, 6), "Start control from 5 to 6", ToServer::startControl, ToClient::none },
        { currentInputID (42), "Current input ID: 42", ToServer::currentInputID, ToClient::currentInputID },
        { requestJumpToMiddle (8), "Request jump to middle: 8", ToServer::requestJumpToMiddle, ToClient::none },
        { takeBackControl (8), "Take back control: 8", ToServer::takeBackControl, ToClient::none },
        { backupServer(), "Backup server", ToServer::none, ToClient::backupServer },
        { displayPosition (3, 10, 20), "Display position ID: 3 x: 10 y: 20", ToServer::none, ToClient::displayPosition },
        { resizeContentComponent (4032, 2376), "Resize content component width: 4032 height: 2376", ToServer::none, ToClient::resizeContentComponent },
        { clearMonitors(), "Clear monitors", ToServer::none, ToClient::clearMonitors },
        { switchModeIdle(), "Switch mode: idle", ToServer::none, ToClient::switchMode },
        { switchModeReceivingFromOS ("WIN"), "Switch mode: receiving from OS: WIN", ToServer::none, ToClient::switchMode },
        { removeMachine ("192.168.1.20", 50123, 1734945242), "Remove machine IP: 192.168.1.20 port: 50123 ID: 1734945242", ToServer::none, ToClient::removeMachine },
        { sendClipboardToID (11), "Send clipboard to ID: 11", ToServer::none, ToClient::sendClipboardToID },
        { sendDraggedFileToID (11), "Send dragged file to ID: 11", ToServer::none, ToClient::sendDraggedFileToID },
        { copyToClipboard ("Backup server"), "Copy to clipboard: Backup server", ToServer::none, ToClient::copyToClipboard },
        { emptyYourClipboard(), "Empty your clipboard", ToServer::none, ToClient::emptyYourClipboard },
        { currentReceivingID (-1), "Current receiving ID: -1", ToServer::none, ToClient::currentReceivingID },
        { prepareLocalAndRemote (77), "Prepare local and remote: 77", ToServer::none, ToClient::prepareLocalAndRemote },
        { jumpToMiddle(), "Jump to middle", ToServer::none, ToClient::jumpToMiddle },
        { takeBackControlOrder(), "Take back control", ToServer::none, ToClient::takeBackControl },
    };

    for (auto& c : cases)
    {
        EXPECT_EQ (c.built, c.wire);
        EXPECT_EQ (classifyToServer (c.wire), c.server) << c.wire;
        EXPECT_EQ (classifyToClient (c.wire), c.client) << c.wire;
    }

    // Equality and prefix tests are exact and case-sensitive.
    EXPECT_EQ (classifyToServer ("Send monitors "), ToServer::none);
    EXPECT_EQ (classifyToServer ("send monitors"), ToServer::none);
    EXPECT_EQ (classifyToServer ("Connected client:"), ToServer::none);
    EXPECT_EQ (classifyToServer ("Current input ID:"), ToServer::currentInputID);
    EXPECT_EQ (classifyToClient ("Backup server "), ToClient::none);
    EXPECT_EQ (classifyToClient ("Jump to middle: 4"), ToClient::none);
    EXPECT_EQ (classifyToClient (""), ToClient::none);
}

TEST (ControlProtocol, FieldsFollowTheFirstSeparatorAndAtoi)
{
    auto fields = [] (Position p) { return std::make_tuple (p.id, p.x, p.y); };
    auto pair = [] (FromTo f) { return std::make_pair (f.from, f.to); };

    EXPECT_EQ (readNumber ("  -17xyz"), -17);
    EXPECT_EQ (readNumber ("+5"), 5);
    EXPECT_EQ (readNumber (""), 0);
    EXPECT_EQ (readNumber ("abc"), 0);
    EXPECT_EQ (readNumber ("-2147483648"), std::numeric_limits<int>::min());

    // A missing separator: the field before it runs to the end, the one after is 0.
    EXPECT_EQ (fields (readMachineMoved ("Machine moved ID: 7 x: -120 y: 40")), std::make_tuple (7, -120, 40));
    EXPECT_EQ (fields (readMachineMoved ("Machine moved ID: 7 x: 5")), std::make_tuple (7, 5, 0));
    EXPECT_EQ (fields (readDisplayPosition ("Display position ID: 3 x: 10 y: 20")), std::make_tuple (3, 10, 20));
    EXPECT_EQ (fields (readDisplayPosition ("Display position ID: 3 x: 10")), std::make_tuple (3, 10, 0));

    // Everything after the first "content: " is the clipboard text.
    auto routed = readRouteClipboardTo (routeClipboardTo (9, "a content: b"));
    EXPECT_EQ (routed.id, 9);
    EXPECT_EQ (routed.text, "a content: b");
    EXPECT_EQ (readRouteClipboardTo (routeClipboardTo (9, "")).text, "");
    EXPECT_EQ (readCopyToClipboard ("Copy to clipboard: "), "");
    EXPECT_EQ (readCopyToClipboard ("Copy to clipboard: Copy to clipboard: x"), "Copy to clipboard: x");

    auto receiving = readSwitchMode (switchModeReceivingFromOS ("WIN"));
    EXPECT_TRUE (receiving.receiving && ! receiving.idle);
    EXPECT_EQ (receiving.senderOS, "WIN");
    auto idle = readSwitchMode (switchModeIdle());
    EXPECT_TRUE (idle.idle && ! idle.receiving);

    EXPECT_TRUE (readIsServer ("Is server: TRUE"));
    EXPECT_FALSE (readIsServer ("Is server: true"));
    EXPECT_FALSE (readIsServer ("Is server: TRUE "));

    auto removed = readRemoveMachine (removeMachine ("10.0.0.9", 50123, 99));
    EXPECT_EQ (std::make_tuple (removed.ip, removed.port, removed.id), std::make_tuple (juce::String ("10.0.0.9"), 50123, 99));
    EXPECT_EQ (pair (readSendClipboardFromTo (sendClipboardFromTo (-1, 2051214693))), std::make_pair (-1, 2051214693));
    EXPECT_EQ (pair (readStartControl (startControl (5, 6))), std::make_pair (5, 6));
    auto size = readResizeContentComponent (resizeContentComponent (4032, 2376));
    EXPECT_EQ (std::make_pair (size.width, size.height), std::make_pair (4032, 2376));

    // Numbers after a keyword without its blank, and missing numbers.
    EXPECT_EQ (readCurrentInputID ("Current input ID:12"), 12);
    EXPECT_EQ (readCurrentReceivingID ("Current receiving ID: -1"), -1);
    EXPECT_EQ (readModeChangeIdle ("Mode change idle"), 0);
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

    // Invalid UTF-8 is decoded safely (see NetworkText).
    EXPECT_EQ (readText (bytes ({ 'a', 0xff, 0xfe, 'b' })).length(), 4);
    EXPECT_FALSE (readTree (juce::MemoryBlock()).isValid());

    // Read from the bytes, a clipboard is what the decoded text gives: relayed
    // after its first "content: ", ill-formed bytes replaced.
    std::string const routeText = "Route clipboard to ID: 7 content: a\xff content: b";
    juce::MemoryBlock const route (routeText.data(), routeText.size());
    auto const relayed = relayClipboard (route);
    EXPECT_EQ (classifyToServer (route), ToServer::routeClipboardTo);
    EXPECT_EQ (relayed.id, 7);
    EXPECT_EQ (readText (relayed.payload), juce::String::fromUTF8 ("Copy to clipboard: a\xef\xbf\xbd content: b"));
    EXPECT_EQ (readCopyToClipboard (relayed.payload), juce::String::fromUTF8 ("a\xef\xbf\xbd content: b"));
    EXPECT_TRUE (holdsZeroByte (bytes ({ 'J', 'u', 'm', 'p', 0 })));
    EXPECT_FALSE (holdsZeroByte (route));
}

// Texts that JUCE would keep ill-formed, and later read or write past: trees
// holding them are refused before JUCE reads them.
TEST (ControlProtocol, TreesHoldingTextsThatAreNotWellFormedUtf8AreRefused)
{
    // "OS" is "M", a two-byte sequence with 'second' as its second byte, "C".
    auto withOS = [] (juce::uint8 second)
    {
        juce::ValueTree info ("machineInfo");
        info.setProperty ("OS", "M..C", nullptr);
        auto payload = treePayload (info);
        auto* bytes = static_cast<char*> (payload.getData());
        auto* os = std::search (bytes, bytes + payload.getSize(), "M..C", "M..C" + 4);
        os[1] = (char) 0xc3;
        os[2] = (char) second;
        return readTree (payload);
    };

    EXPECT_EQ (withOS (0x84)["OS"].toString(), juce::String::fromUTF8 ("M\xc3\x84" "C"));
    EXPECT_FALSE (withOS ('x').isValid());
    EXPECT_FALSE (withOS (0).isValid());   // cut short by a zero
}

TEST (TreeStreamCheck, RefusesHostileStreamsAndPassesOrdinaryOnes)
{
    auto const repeated = [] (std::vector<juce::uint8> bytes, std::vector<juce::uint8> const& unit, int times,
                              std::vector<juce::uint8> const& end = {})
    {
        for (int i = 0; i < times; ++i)
            bytes.insert (bytes.end(), unit.begin(), unit.end());

        bytes.insert (bytes.end(), end.begin(), end.end());
        return bytes;
    };

    juce::ValueTree info ("machineInfo");
    info.setProperty ("IP", "10.0.0.1", nullptr);
    addMonitorInfo (juce::RectangleList<int> ({ 0, 0, 5, 5 }), { 0, 0, 5, 5 }, info);
    auto const block = treePayload (info);
    std::vector<juce::uint8> const good (static_cast<juce::uint8 const*> (block.getData()),
                                         static_cast<juce::uint8 const*> (block.getData()) + block.getSize());

    std::pair<std::vector<juce::uint8>, bool> const cases[] {
        { good, true },
        { std::vector<juce::uint8> (good.begin(), good.end() - 7), true },     // ends early
        { repeated (good, { 1, 2, 3 }, 1), true },                             // trailing bytes
        { repeated ({}, { 'a', 0, 0, 1, 1 }, TreeStreamCheck::maxDepth, { 'a', 0, 0, 0 }), true },   // nested to the limit
        { repeated ({}, { 'a', 0, 0, 1, 1 }, 200000), false },                 // far deeper
        { repeated ({ 'a', 0, 1, 1, 'p', 0 }, { 1, 10, 7, 1, 1 }, 100000), false },   // arrays in arrays
        { { 'a', 0, 0, 4, 0xff, 0xff, 0xff, 0x7f }, false },                    // huge count of children
        { { 'a', 0, 4, 0xff, 0xff, 0xff, 0x7f, 0 }, false },                    // ... of properties
        { { 'a', 0, 1, 1, 'p', 0, 4, 0xff, 0xff, 0xff, 0x7f, 8 }, false },      // a huge binary value
        { { 'a', 0, 1, 1, 'p', 0, 1, 2, 7, 4, 0xff, 0xff, 0xff, 0x7f }, false },   // a huge array
        // A property name repeated with empty binary values (JUCE would compare
        // them through null pointers), and an empty binary value inside an array.
        { { 'a', 0, 1, 2, 'p', 0, 1, 1, 8, 'p', 0, 1, 1, 8, 0 }, false },
        { { 'a', 0, 1, 1, 'p', 0, 1, 4, 7, 1, 1, 1, 1, 8, 0 }, false },
        { { 'a', 0, 0x84, 0, 0, 0, 0x80 }, false },       // the count -2147483648, which JUCE would negate
        { { 'a', 0, 0, 0x84, 0, 0, 0, 0x80 }, false },
        { { 'a', 0, 0x81, 5 }, true },                     // other negative counts are harmless
        { { 'a', 0, 1, 1, 'p', 0, 1, 9, 4, 0, 0, 0, 0, 0, 0, 0xf8, 0x7f, 0 }, false },   // a NaN, which JUCE turns into text by an undefined cast
        { { 'a', 0, 1, 1, 'p', 0, 1, 9, 4, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f, 0 }, true },    // 1.0
        { { 'a', 0xff, 0, 0, 0 }, false },                 // a type, and a property name, not well-formed UTF-8
        { { 'a', 0, 1, 1, 0xe2, 0x82, 0, 1, 1, 2, 0 }, false },
    };

    for (auto const& [bytes, safe] : cases)
    {
        EXPECT_EQ (TreeStreamCheck::isSafeToRead (bytes.data(), bytes.size()), safe) << bytes.size() << " bytes";
        EXPECT_EQ (readTree (bytes.data(), bytes.size()).isValid(), safe) << bytes.size() << " bytes";
    }

    EXPECT_TRUE (readTree (repeated (good, { 1, 2, 3 }, 1).data(), good.size() + 3).isEquivalentTo (info));
}
