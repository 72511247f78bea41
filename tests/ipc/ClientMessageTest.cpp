// The client's handling of the server's control messages, fed by a raw peer
// over a real connection: which operation each one calls, with what, on which
// thread, and what goes back to the server.

#include "ipc/ClientFileTransfer.h"
#include "ipc/MyQuillsteadIPC.h"
#include "support/LogCapture.h"
#include "support/ClientHarness.h"

namespace
{
juce::MemoryBlock text (juce::String const& s)     { return { s.toRawUTF8(), s.getNumBytesAsUTF8() }; }
juce::MemoryBlock tree (juce::ValueTree const& t)  { return ControlProtocol::treePayload (t); }

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

// A running client joined to a raw server.
struct JoinedClient
{
    JoinedClient()
    {
        client.clientID = 4242;
        client.startingUp = false;
        stream = server.join (client);
    }

    // Sends a message followed by "Take back control" and returns the calls the
    // message caused once that has arrived (" @message": on the message thread).
    juce::String callsFor (juce::MemoryBlock const& payload)
    {
        client.clearCalls();
        EXPECT_TRUE (stream->writeFrame (payload) && stream->writeFrame ("Take back control"));
        EXPECT_TRUE (client.waitFor ("takeBackControl", payload == text ("Take back control") ? 2 : 1));
        TestEnvironment::pump (50);

        juce::StringArray texts;
        bool marker = false;
        auto calls = client.getCalls();

        for (auto call = calls.rbegin(); call != calls.rend(); ++call)
            if (marker || ! (marker = call->text == "takeBackControl"))
                texts.insert (0, call->text + (call->onMessageThread ? " @message" : ""));

        if (client.isBackupServer.exchange (false))
            texts.add ("isBackupServer");

        return texts.joinIntoString ("; ");
    }

    RawServer server;
    std::unique_ptr<WirePeer::Stream> stream;
    RecordingClient client;
};
} // namespace

TEST (ClientMessages, EachRowCallsItsOperationOnItsThreadAndPostedOnesAreOvertaken)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    JoinedClient j;
    ASSERT_NE (j.stream, nullptr);

    auto changed = createMonitorInfo (false);
    changed.setProperty ("ID", 55, nullptr);
    auto const longText = juce::String::repeatedString ("Y", 100000);

    struct Row { juce::MemoryBlock payload; juce::String calls, reply = {}; };
    std::vector<Row> const rows {
        { text ("Backup server"), "isBackupServer" },
        { text ("Display position ID: 3 x: 10 y: 20"), "updateMachinePosition 3 10 20 true @message" },
        { text ("Resize content component width: 2304 height: 1296"), "resizeContentComponent 2304 1296" },
        { text ("Clear monitors"), "clearMachines @message" },
        { text ("Switch mode: receiving from OS: MAC"), "gotReceivingModeMessage \"MAC\"" },
        { text ("Switch mode: receiving"), "gotReceivingModeMessage \"\"" },
        { text ("Switch mode: idle"), "gotIdleModeMessage" },
        { text ("Remove machine IP: 10.0.0.9 port: 5000 ID: 77"), "removeMachine 10.0.0.9 5000 77" },
        { text ("Send clipboard to ID: 42"), "checkPasteboardForFiles", "Route clipboard to ID: 42 content: " },
        { text ("Send dragged file to ID: 5"), "checkPasteboardForDraggedFiles" },
        { text ("Copy to clipboard: "), "" },
        { text ("Copy to clipboard: Copy to clipboard: x"), "copyTextToClipboard \"Copy to clipboard: x\"" },
        { text ("Empty your clipboard"), "emptyClipboard" },
        { text ("Current input ID: 12"), "setCurrentInputID 12" },
        { text ("Current receiving ID:-1"), "setCurrentReceivingID -1" },
        { text ("Prepare local and remote: 9"), "prepareLocalAndRemote 9 true" },
        { text ("Jump to middle"), "jumpToMiddle true" },
        { text ("Take back control"), "takeBackControl" },
        { tree (machineInfo ("10.0.0.9", 5000, "WIN", 77, true)),
          "addMachine 10.0.0.9 5000 77 [0 0 1280 1440; 1280 0 1280 1440] 1920 0 2560 1440 WIN @message" },
        { tree (machineInfo ("10.0.0.8", 6000, "MAC", 78, false)), "addMachine 10.0.0.8 6000 78 [] 1920 0 2560 1440 MAC @message" },
        { tree (changed), "updateMachineDisplay changedMonitorInfo 55 @message" },
        // Address and system texts beyond any real one are refused; a long system to receive from is only cut in the log.
        { tree (machineInfo (juce::String::repeatedString ("1", Machine::maxFieldLength + 1), 5000, "WIN", 80, true)), "" },
        { tree (machineInfo ("10.0.0.7", 7000, longText, 79, true)), "" },
        { text ("Switch mode: receiving from OS: " + longText), "gotReceivingModeMessage " + longText.quoted() },
        // Matching nothing: a tree meant for the server, an empty message, other spellings.
        { tree (createMonitorInfo (true)), "" },
        { {}, "" },
        { text ("Hello"), "" },
        { tree (juce::ValueTree ("machineinfo")), "" },
    };

    for (auto const& row : rows)
    {
        EXPECT_EQ (j.callsFor (row.payload), row.calls) << row.payload.toString();

        if (row.reply.isNotEmpty())
        {
            EXPECT_EQ (j.stream->readFrame().value_or (text ("<none>")), text (row.reply));
        }
    }

    EXPECT_FALSE (j.stream->readFrame (300).has_value());
    EXPECT_TRUE (log.contains ("Received: Switch mode: idle, myID: 4242"));

    for (auto const& line : log.getLines())
        EXPECT_LT (line.length(), 1000) << line.substring (0, 100);

    // The connection thread does not wait for the message thread, which does not run here.
    j.client.clearCalls();
    ASSERT_TRUE (j.stream->writeFrame (tree (machineInfo ("10.0.0.9", 5000, "WIN", 77, false))));
    ASSERT_TRUE (j.stream->writeFrame ("Remove machine IP: 10.0.0.9 port: 5000 ID: 77"));

    for (int i = 0; i < 1000 && j.client.count ("removeMachine") == 0; ++i)
        juce::Thread::sleep (5);

    EXPECT_EQ (j.client.callTexts(), "removeMachine 10.0.0.9 5000 77");
    ASSERT_TRUE (j.client.waitFor ("addMachine"));
}

TEST (ClientMessages, ClipboardFilesGoAsOneArchiveDraggedFilesOneByOne)
{
    REQUIRE_PRIVATE_NETWORK();
    JoinedClient j;
    ASSERT_NE (j.stream, nullptr);

    auto folder = TestEnvironment::getHome().getChildFile ("clip");
    ASSERT_TRUE (folder.createDirectory());
    ASSERT_TRUE (folder.getChildFile ("a.txt").replaceWithText ("alpha") && folder.getChildFile ("b.txt").replaceWithText ("beta"));
    j.client.setClipboard ("not sent", { folder.getChildFile ("a.txt"), folder.getChildFile ("b.txt") },
                           { juce::File ("/x/one"), juce::File ("/y/two") });

    auto archive = FileTransfer::getOutgoingFolder().getChildFile ("zipOut.zip");
    j.client.clearCalls();
    ASSERT_TRUE (j.stream->writeFrame ("Send clipboard to ID: 42"));
    ASSERT_TRUE (j.client.waitFor ("sendFileToMachine"));
    EXPECT_EQ (j.client.callTexts(), "checkPasteboardForFiles; sendFileToMachine " + archive.getFullPathName() + " 42 false");
    juce::ZipFile zip (archive);
    ASSERT_EQ (zip.getNumEntries(), 2);
    EXPECT_EQ (zip.getEntry (0)->filename + " " + zip.getEntry (1)->filename, "a.txt b.txt");

    EXPECT_EQ (j.callsFor (text ("Send dragged file to ID: 5")),
               "checkPasteboardForDraggedFiles; sendFileToMachine /x/one 5 true; sendFileToMachine /y/two 5 true");
    EXPECT_FALSE (j.stream->readFrame (300).has_value());   // files never go through the server
}

// Packing runs beside the connection: later messages are handled meanwhile, a
// newer hand-over replaces one still being packed, and closing the client stops
// a packing without sending it or leaving a part of it behind.
TEST (ClientMessages, ClipboardFilesArePackedWhileTheConnectionIsRead)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    JoinedClient j;
    ASSERT_NE (j.stream, nullptr);

    // Random bytes take a while to pack at any speed of the build.
    juce::MemoryBlock noise (24u << 20);
    juce::Random (7).fillBitsRandomly (noise.getData(), noise.getSize());
    auto big = TestEnvironment::getHome().getChildFile ("big.bin");
    ASSERT_TRUE (big.replaceWithData (noise.getData(), noise.getSize()));
    j.client.setClipboard ({}, { big });

    auto const outgoing = FileTransfer::getOutgoingFolder();
    j.client.clearCalls();
    ASSERT_TRUE (j.stream->writeFrame ("Send clipboard to ID: 42") && j.stream->writeFrame ("Send clipboard to ID: 43")
                 && j.stream->writeFrame ("Take back control"));
    ASSERT_TRUE (j.client.waitFor ("takeBackControl"));
    EXPECT_EQ (j.client.count ("sendFileToMachine"), 0);

    ASSERT_TRUE (j.client.waitFor ("sendFileToMachine", 1, 60000));
    TestEnvironment::pump (200);
    EXPECT_EQ (j.client.callTexts(), "checkPasteboardForFiles; checkPasteboardForFiles; takeBackControl; sendFileToMachine "
                                         + outgoing.getChildFile ("zipOut.zip").getFullPathName() + " 43 false");
    EXPECT_TRUE (log.mentions ("Send clipboard files: a newer clipboard replaces the one packed for 42"));

    j.client.clearCalls();
    ASSERT_TRUE (j.stream->writeFrame ("Send clipboard to ID: 44"));
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return outgoing.findChildFiles (juce::File::findFiles, false, "packing*").size() == 1; }));
    j.client.closeClient();
    EXPECT_EQ (j.client.count ("sendFileToMachine"), 0);
    EXPECT_TRUE (log.mentions ("Send clipboard files: the program is stopping, sending none"));
    EXPECT_EQ (outgoing.findChildFiles (juce::File::findFiles, false).size(), 1);   // zipOut.zip only
}
