// Machines in network namespaces of their own: discovery and file transfer
// across a veth pair against a raw server, and fail-over of the real server
// with three machines on a bridge.

#include "ipc/ClientFileTransfer.h"
#include "ipc/MyQuillsteadIPC.h"
#include "support/NetLab.h"
#include "support/ClientHarness.h"

TEST (ClusterNamespaces, DiscoveryAndClipboardFilesCrossAVethPair)
{
    REQUIRE_PRIVATE_NETWORK();
    NetLab lab;
    auto* sender = lab.startMachine ("sender");
    ASSERT_NE (sender, nullptr);
    ASSERT_TRUE (lab.linkToTest (*sender, "192.168.78.2", "192.168.78.1"));

    auto note = sender->home.getChildFile ("Docs/note.txt");
    ASSERT_TRUE (note.getParentDirectory().createDirectory() && note.replaceWithText (juce::String::repeatedString ("note ", 50000)));
    sender->send ("clipboard-files " + note.getParentDirectory().getFullPathName());
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
    EXPECT_EQ (receiver.callTexts (true), "addMultipleFilesOrDirsToClipboard Docs @message");
    EXPECT_EQ (FileTransfer::getTransferFolder().getChildFile ("Docs/note.txt").loadFileAsString(), note.loadFileAsString());

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

    // The first finds no server and becomes it; the second joins and is named backup; the third joins.
    for (int i = 0; i < 3; ++i)
    {
        m[(size_t) i]->send ("startup 777");
        auto started = m[(size_t) i]->waitForLine ("startup", 30000);
        EXPECT_EQ (started.value_or ("none"), "startup " + juce::String (i == 0 ? 1 : 0) + " " + juce::String (computeMachineID (ips[i])) + " 777");
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
