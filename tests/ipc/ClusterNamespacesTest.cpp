// Machines in network namespaces of their own: discovery and file transfer
// across a veth pair against a raw server, and fail-over of the real server
// with three machines on a bridge.

#include "ipc/ClientFileTransfer.h"
#include "ipc/MyQuillsteadIPC.h"
#include "support/NetLab.h"
#include "ClientHarness.h"

TEST (ClusterNamespaces, DiscoveryAndClipboardFilesCrossAVethPair)
{
    REQUIRE_PRIVATE_NETWORK();
    NetLab lab;
    auto* sender = lab.startMachine ("sender");
    ASSERT_NE (sender, nullptr);
    ASSERT_TRUE (lab.linkToTest (*sender, "192.168.78.2", "192.168.78.1"));

    auto docs = sender->home.getChildFile ("Docs");
    ASSERT_TRUE (docs.getChildFile ("x").createDirectory() && docs.getChildFile ("e").createDirectory());
    ASSERT_TRUE (docs.getChildFile ("x/y.txt").replaceWithText ("why"));
    auto note = sender->home.getChildFile ("note.txt");
    ASSERT_TRUE (note.replaceWithText (juce::String::repeatedString ("note ", 50000)));
    sender->send ("clipboard-files " + docs.getFullPathName() + "|" + note.getFullPathName());
    ASSERT_TRUE (sender->waitForLine ("ok clipboard-files"));

    // The broadcast reaches this namespace from the machine's real address, and
    // the acceptance goes back; the machine ID comes from that address.
    RawServer server;
    sender->send ("startup");
    auto stream = server.acceptNextSearch (321, 15000);
    ASSERT_NE (stream, nullptr);
    auto const id = juce::String (computeMachineID ("192.168.78.2"));
    EXPECT_EQ (server.request->senderIP, "192.168.78.2");
    EXPECT_EQ (server.joiningTexts(), "Connected client: " + id + "; Operating system: MAC; Is server: FALSE; newMonitorInfo; Send monitors");
    EXPECT_EQ (sender->waitForLine ("startup").value_or ("none"), "startup 0 " + id + " 321");

    // This process is also the receiving machine, whose files arrive at its port + 1.
    RecordingClient receiver;
    receiver.fileTransferServer = std::make_unique<ClientIPC::ClientFileTransferIPCServer> (46001, &receiver);
    ASSERT_TRUE (receiver.fileTransferServer->beginListening());

    Machine me;
    me.IP = "192.168.78.1";
    me.port = 46000;
    me.OS = "MAC";
    auto const receiverID = computeMachineID (me.IP);
    ASSERT_TRUE (stream->writeFrame (ControlProtocol::treePayload (createMachineInfo (&me, receiverID))));
    ASSERT_TRUE (sender->waitForLine ("call addMachine 192.168.78.1 46000"));
    ASSERT_TRUE (stream->writeFrame ("Send clipboard to ID: " + juce::String (receiverID)));

    ASSERT_TRUE (receiver.waitFor ("addMultipleFilesOrDirsToClipboard", 1, 30000));
    EXPECT_EQ (receiver.callTexts (true), "addMultipleFilesOrDirsToClipboard Docs|note.txt @message");
    auto folder = FileTransfer::getTransferFolder();
    EXPECT_EQ (folder.getChildFile ("Docs/x/y.txt").loadFileAsString(), "why");
    EXPECT_FALSE (folder.getChildFile ("Docs/e").exists());
    EXPECT_EQ (folder.getChildFile ("note.txt").loadFileAsString(), note.loadFileAsString());

    // The sender packed in its own temporary folder.
    EXPECT_TRUE (sender->temp.getChildFile ("Corvelline-" + juce::String ((juce::int64) geteuid()) + "/Corvelline/zipOut.zip").existsAsFile());
}

TEST (ClusterNamespaces, TheBackupTakesOverAndEveryoneRejoinsIt)
{
    REQUIRE_PRIVATE_NETWORK();
    NetLab lab;
    juce::StringArray const ips { "192.168.60.2", "192.168.60.3", "192.168.60.4" };
    std::vector<NetLab::Machine*> m;

    for (auto const& ip : ips)
    {
        m.push_back (lab.startMachine (ip));
        ASSERT_NE (m.back(), nullptr);
        ASSERT_TRUE (lab.linkToHub (*m.back(), ip));
    }

    // The first finds no server and becomes it; the second joins and is named
    // backup; the third joins once it is (the server names none when the third
    // is accepted before it has read the second's joining).
    for (int i = 0; i < 3; ++i)
    {
        m[(size_t) i]->send ("startup 777");
        auto started = m[(size_t) i]->waitForLine ("startup", 30000);
        EXPECT_EQ (started.value_or ("none"), "startup " + juce::String (i == 0 ? 1 : 0) + " " + juce::String (computeMachineID (ips[i])) + " 777");
        auto isBackup = [&] { return m[1]->send ("state") && m[1]->waitForLine ("state", 100).value_or ("").startsWith ("state 0 1 "); };
        ASSERT_TRUE (i != 1 || TestEnvironment::waitUntil (isBackup));
    }

    for (auto* machine : m)
        for (auto const& ip : ips)
            ASSERT_TRUE (machine->waitForLine ("call addMachine " + ip + " ")) << ip;

    // The server's machine goes at once: the backup creates its server before it
    // searches, and both rejoin it; what the registry held is cleared and refilled.
    m[1]->forgetLines();
    m[2]->forgetLines();
    m[0]->kill();

    ASSERT_TRUE (m[1]->waitForLine ("call clearMachines", 20000));
    ASSERT_TRUE (m[2]->waitForLine ("call clearMachines", 20000));
    EXPECT_TRUE (m[1]->waitForLine ("call tellMainComponentIAmServer", 1000));
    EXPECT_FALSE (m[2]->waitForLine ("call tellMainComponentIAmServer", 10));

    for (auto* machine : { m[1], m[2] })
    {
        for (auto const& ip : { ips[1], ips[2] })
            EXPECT_TRUE (machine->waitForLine ("call addMachine " + ip + " ", 30000)) << ip;

        EXPECT_FALSE (machine->waitForLine ("call addMachine " + ips[0] + " ", 10));
    }

    m[1]->send ("state");
    EXPECT_TRUE (m[1]->waitForLine ("state").value_or ("none").startsWith ("state 1 "));
}
