// The client's handling of the server's control messages, fed by a raw peer
// over a real connection: which operation is called, with what, on which thread.

#include "ipc/ClientFileTransfer.h"
#include "ipc/MyQuillsteadIPC.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "ClientHarness.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{
// A client joined to a raw server on the loopback address.
struct JoinedClient
{
    JoinedClient()
    {
        client.clientID = 4242;
        client.startingUp = false;
        EXPECT_TRUE (listener.isListening());
        EXPECT_TRUE (client.connectToSocket ("127.0.0.1", ControlProtocol::serverPort, 1000));
        server = listener.accept();

        if (server != nullptr)
            for (int i = 0; i < 5; ++i)   // the four joining messages and "Send monitors"
                readFramePumping (*server);

        client.clearCalls();
    }

    void send (juce::String const& text)            { ASSERT_TRUE (server->writeFrame (text)); }
    void send (juce::ValueTree const& tree)         { ASSERT_TRUE (server->writeFrame (ControlProtocol::treePayload (tree))); }

    // Sends a text and waits until the call it should cause (or a marker call
    // sent after it) has arrived.
    void sendAndSettle (juce::String const& text)
    {
        auto before = (int) client.getCalls ("takeBackControl").size();
        send (text);
        send ("Take back control");
        EXPECT_TRUE (client.waitForCalls ("takeBackControl", before + 1));
        pump (50);
    }

    WirePeer::Listener listener { ControlProtocol::serverPort, "127.0.0.1" };
    RecordingClient client;
    std::unique_ptr<WirePeer::Stream> server;
};

std::vector<RecordingClient::Call> callsExceptMarker (RecordingClient const& client)
{
    std::vector<RecordingClient::Call> result;

    for (auto const& call : client.getCalls())
        if (call.name != "takeBackControl")
            result.push_back (call);

    return result;
}

juce::ValueTree machineInfo (juce::String const& ip, int port, juce::String const& os, int id, bool withMonitors)
{
    Machine m;
    m.IP = ip;
    m.port = port;
    m.OS = os;
    m.totalArea = { 1920, 0, 2560, 1440 };

    if (withMonitors)
    {
        m.displays.add ({ 0, 0, 1280, 1440 });
        m.displays.add ({ 1280, 0, 1280, 1440 });
    }

    return createMachineInfo (&m, id);
}
} // namespace

TEST (ClientMessages, ConnectionThreadRowsCallTheirOperationsWithTheirFields)
{
    REQUIRE_PRIVATE_NETWORK();
    JoinedClient j;
    ASSERT_NE (j.server, nullptr);

    j.send ("Resize content component width: 2304 height: 1296");
    j.send ("Remove machine IP: 10.0.0.9 port: 5000 ID: 77");
    j.send ("Empty your clipboard");
    j.send ("Current input ID: 12");
    j.send ("Current receiving ID:-1");
    j.send ("Prepare local and remote: 9");
    j.send ("Prepare local and remote");
    j.send ("Jump to middle");
    j.sendAndSettle ("Take back control");

    EXPECT_THAT (j.client.getCallTexts(),
                 ElementsAre ("resizeContentComponent 2304 1296",
                              "removeMachine 10.0.0.9 5000 77",
                              "emptyClipboard",
                              "setCurrentInputID 12",
                              "setCurrentReceivingID -1",
                              "prepareLocalAndRemote 9 true",
                              "prepareLocalAndRemote 0 true",
                              "jumpToMiddle true",
                              "takeBackControl",
                              "takeBackControl"));

    for (auto const& call : j.client.getCalls())
        EXPECT_FALSE (call.onMessageThread) << call.name;
}

TEST (ClientMessages, SwitchModeCallsReceivingOrIdleAndLogsTheOwnID)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    JoinedClient j;
    ASSERT_NE (j.server, nullptr);

    j.sendAndSettle ("Switch mode: receiving from OS: MAC");
    j.sendAndSettle ("Switch mode: idle");
    j.sendAndSettle ("Switch mode: receiving");

    auto calls = callsExceptMarker (j.client);
    ASSERT_EQ (calls.size(), 3u);
    EXPECT_EQ (calls[0].name + " " + calls[0].arguments, "gotReceivingModeMessage \"MAC\"");
    EXPECT_EQ (calls[1].name, "gotIdleModeMessage");
    EXPECT_EQ (calls[2].name + " " + calls[2].arguments, "gotReceivingModeMessage \"\"");
    EXPECT_TRUE (log.contains ("Received: Switch mode: idle, myID: 4242"));
    EXPECT_TRUE (log.contains ("Received: Switch mode: receiving from OS: MAC, myID: 4242"));
}

TEST (ClientMessages, FourRowsArePostedToTheMessageThreadAndCanBeOvertaken)
{
    REQUIRE_PRIVATE_NETWORK();
    JoinedClient j;
    ASSERT_NE (j.server, nullptr);

    auto changed = createMonitorInfo (false);
    changed.setProperty ("ID", 55, nullptr);

    j.send (machineInfo ("10.0.0.9", 5000, "WIN", 77, true));
    j.send ("Remove machine IP: 10.0.0.9 port: 5000 ID: 77");

    // Without the message loop running, the direct call comes first.
    for (int i = 0; i < 1000 && j.client.getCalls ("removeMachine").empty(); ++i)
        juce::Thread::sleep (5);

    ASSERT_FALSE (j.client.getCalls ("removeMachine").empty());
    EXPECT_TRUE (j.client.getCalls ("addMachine").empty());

    j.send ("Display position ID: 3 x: 10 y: 20");
    j.send ("Display position ID: 3 x: 10");
    j.send ("Clear monitors");
    j.send (changed);
    j.send (machineInfo ("10.0.0.8", 6000, "MAC", 78, false));
    ASSERT_TRUE (j.client.waitForCalls ("addMachine", 2));

    EXPECT_THAT (j.client.getCallTexts(),
                 ElementsAre ("removeMachine 10.0.0.9 5000 77",
                              "addMachine 10.0.0.9 5000 77 [0 0 1280 1440; 1280 0 1280 1440] 1920 0 2560 1440 WIN",
                              "updateMachinePosition 3 10 20 true",
                              "updateMachinePosition 3 10 0 true",
                              "clearMachines",
                              "updateMachineDisplay changedMonitorInfo 55",
                              "addMachine 10.0.0.8 6000 78 [] 1920 0 2560 1440 MAC"));

    for (auto const& call : j.client.getCalls())
        EXPECT_EQ (call.onMessageThread, call.name != "removeMachine") << call.name;
}

TEST (ClientMessages, ClipboardHandOverSendsFilesAsOneArchiveOrRoutesTheText)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    JoinedClient j;
    ASSERT_NE (j.server, nullptr);
    j.client.sendFilesForReal = false;

    // Text only, then nothing at all: routed through the server.
    j.client.setClipboardText ("some content: with a keyword");
    j.send ("Send clipboard to ID: 42");
    EXPECT_EQ (readTextFramePumping (*j.server), "Route clipboard to ID: 42 content: some content: with a keyword");

    j.client.setClipboardText ({});
    j.send ("Send clipboard to ID: 42");
    auto empty = readFramePumping (*j.server);
    ASSERT_TRUE (empty.has_value());
    EXPECT_EQ (empty->toString(), "Route clipboard to ID: 42 content: ");
    EXPECT_EQ (empty->getSize(), (size_t) 35);

    // Two files: one archive, one call, nothing back to the server.
    auto folder = TestEnvironment::getHome().getChildFile ("clip");
    ASSERT_TRUE (folder.createDirectory());
    folder.getChildFile ("a.txt").replaceWithText ("alpha");
    folder.getChildFile ("b.txt").replaceWithText ("beta");
    j.client.setClipboardFiles ({ folder.getChildFile ("a.txt"), folder.getChildFile ("b.txt") });
    j.sendAndSettle ("Send clipboard to ID: 42");

    auto sends = j.client.getCalls ("sendFileToMachine");
    ASSERT_EQ (sends.size(), 1u);
    auto archive = FileTransfer::getTransferFolder().getChildFile ("zipOut.zip");
    EXPECT_EQ (sends[0].arguments, archive.getFullPathName() + " 42 false");
    EXPECT_FALSE (sends[0].onMessageThread);
    EXPECT_TRUE (log.contains ("Send clipboard files to 42"));

    juce::ZipFile zip (archive);
    ASSERT_EQ (zip.getNumEntries(), 2);
    EXPECT_EQ (zip.getEntry (0)->filename, "a.txt");
    EXPECT_EQ (zip.getEntry (1)->filename, "b.txt");
    EXPECT_FALSE (j.server->readFrame (300).has_value());
}

TEST (ClientMessages, DraggedFilesGoOneByOneAndCopiedTextOnlyWhenNotEmpty)
{
    REQUIRE_PRIVATE_NETWORK();
    JoinedClient j;
    ASSERT_NE (j.server, nullptr);
    j.client.sendFilesForReal = false;

    j.sendAndSettle ("Send dragged file to ID: 5");
    EXPECT_TRUE (j.client.getCalls ("sendFileToMachine").empty());

    j.client.setDraggedFiles ({ juce::File ("/x/one"), juce::File ("/y/two") });
    j.sendAndSettle ("Send dragged file to ID: 5");
    EXPECT_THAT (j.client.getCallTexts(), ::testing::Contains ("sendFileToMachine /x/one 5 true"));
    EXPECT_THAT (j.client.getCallTexts(), ::testing::Contains ("sendFileToMachine /y/two 5 true"));

    j.client.clearCalls();
    j.sendAndSettle ("Copy to clipboard: ");
    j.sendAndSettle ("Copy to clipboard: Copy to clipboard: x");
    EXPECT_THAT (j.client.getCallTexts(), ElementsAre ("takeBackControl", "copyTextToClipboard \"Copy to clipboard: x\"", "takeBackControl"));
}

TEST (ClientMessages, BackupServerAndWhatMatchesNothing)
{
    REQUIRE_PRIVATE_NETWORK();
    JoinedClient j;
    ASSERT_NE (j.server, nullptr);

    j.sendAndSettle ("Backup server ");
    EXPECT_FALSE (j.client.isBackupServer);

    j.send (createMonitorInfo (true));                        // a tree for the server
    ASSERT_TRUE (j.server->writeBytes (WirePeer::frame (juce::MemoryBlock())));   // length 0
    j.send ("take back control");
    j.send ("Hello");
    j.send (juce::ValueTree ("machineinfo"));
    j.sendAndSettle ("Backup server");
    EXPECT_TRUE (j.client.isBackupServer);
    EXPECT_THAT (callsExceptMarker (j.client), IsEmpty());
}

TEST (ClientMessages, AFrameWithAnotherMagicNumberSilencesTheConnection)
{
    REQUIRE_PRIVATE_NETWORK();
    JoinedClient j;
    ASSERT_NE (j.server, nullptr);

    auto bad = WirePeer::frame (juce::String ("Jump to middle"));
    static_cast<juce::uint8*> (bad.getData())[0] ^= 0xff;
    ASSERT_TRUE (j.server->writeBytes (bad));
    j.send ("Jump to middle");
    pump (500);

    EXPECT_THAT (j.client.getCalls(), IsEmpty());   // nothing delivered, no loss reported
}
