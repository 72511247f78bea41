// Machines in network namespaces of their own, joined to the test's namespace
// by veth pairs: discovery and file transfer across real links.

#include "ipc/ClientFileTransfer.h"
#include "ipc/DiscoveryProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MyQuillsteadIPC.h"
#include "support/NetLab.h"
#include "support/TestEnvironment.h"
#include "ClientHarness.h"

#include <gmock/gmock.h>

namespace
{
struct RawServer
{
    WirePeer::Datagrams udp { DiscoveryProtocol::serverPort };
    WirePeer::Listener tcp { ControlProtocol::serverPort };

    // Accepts the next request and returns the joined connection.
    std::unique_ptr<WirePeer::Stream> acceptNext (juce::String& requesterIP, int& requesterPort, int clusterID = 321)
    {
        auto request = udp.receive (15000);

        if (! request)
            return nullptr;

        requesterIP = request->senderIP;
        requesterPort = request->senderPort;
        udp.send (request->senderIP, request->senderPort,
                  DiscoveryProtocol::acceptance (computeMachineID (request->senderIP), request->senderPort, clusterID));
        return tcp.accept (15000);
    }
};
} // namespace

TEST (ClusterNamespaces, DiscoveryCrossesAVethPairAndIdsComeFromTheRealAddress)
{
    REQUIRE_PRIVATE_NETWORK();
    NetLab lab;
    auto* machine = lab.startMachine ("a");
    ASSERT_NE (machine, nullptr);
    ASSERT_TRUE (lab.linkToTest (*machine, "10.77.0.2", "10.77.0.1"));

    RawServer server;
    machine->send ("discover");

    juce::String ip;
    int port = 0;
    auto stream = server.acceptNext (ip, port);
    ASSERT_NE (stream, nullptr);
    EXPECT_EQ (ip, "10.77.0.2");

    auto const id = computeMachineID ("10.77.0.2");
    EXPECT_EQ (readTextFramePumping (*stream), "Connected client: " + juce::String (id));
    EXPECT_EQ (readTextFramePumping (*stream), "Operating system: MAC");
    EXPECT_EQ (readTextFramePumping (*stream), "Is server: FALSE");
    EXPECT_EQ (readTextFramePumping (*stream), "newMonitorInfo");
    EXPECT_EQ (readTextFramePumping (*stream), "Send monitors");

    auto result = machine->waitForLine ("discovered");
    ASSERT_TRUE (result.has_value());
    EXPECT_EQ (*result, "discovered 1 " + juce::String (id) + " 321");

    // Its file-transfer listener waits on the machine port + 1 of its address.
    EXPECT_NE (WirePeer::Stream::connect ("10.77.0.2", port + 1), nullptr);
}

TEST (ClusterNamespaces, ClipboardFilesTravelFromAnotherNamespace)
{
    REQUIRE_PRIVATE_NETWORK();
    NetLab lab;
    auto* sender = lab.startMachine ("sender");
    ASSERT_NE (sender, nullptr);
    ASSERT_TRUE (lab.linkToTest (*sender, "192.168.78.2", "192.168.78.1"));

    // This process is the receiving machine (files arrive at its port + 1)
    // and, speaking raw bytes, the server.
    constexpr int receiverPort = 46000;
    RecordingClient receiver;
    receiver.fileTransferServer = std::make_unique<ClientIPC::ClientFileTransferIPCServer> (receiverPort + 1, &receiver);
    ASSERT_TRUE (receiver.fileTransferServer->beginListening());

    auto docs = sender->home.getChildFile ("Docs");
    docs.getChildFile ("x").createDirectory();
    docs.getChildFile ("x/y.txt").replaceWithText ("why");
    docs.getChildFile ("e").createDirectory();
    auto note = sender->home.getChildFile ("note.txt");
    note.replaceWithText (juce::String::repeatedString ("note ", 50000));
    sender->send ("clipboard-files " + docs.getFullPathName() + "|" + note.getFullPathName());
    ASSERT_TRUE (sender->waitForLine ("ok clipboard-files"));

    RawServer server;
    sender->send ("discover");
    juce::String ip;
    int port = 0;
    auto stream = server.acceptNext (ip, port);
    ASSERT_NE (stream, nullptr);

    Machine me;
    me.IP = "192.168.78.1";
    me.port = receiverPort;
    me.OS = "MAC";
    auto const receiverID = computeMachineID (me.IP);
    ASSERT_TRUE (stream->writeFrame (ControlProtocol::treePayload (createMachineInfo (&me, receiverID))));
    ASSERT_TRUE (sender->waitForLine ("call addMachine 192.168.78.1 46000"));
    ASSERT_TRUE (stream->writeFrame ("Send clipboard to ID: " + juce::String (receiverID)));

    ASSERT_TRUE (receiver.waitForCalls ("addMultipleFilesOrDirsToClipboard", 1, 30000));
    EXPECT_THAT (receiver.getCallTexts(), ::testing::ElementsAre ("addMultipleFilesOrDirsToClipboard Docs|note.txt"));
    auto folder = FileTransfer::getTransferFolder();
    EXPECT_EQ (folder.getChildFile ("Docs/x/y.txt").loadFileAsString(), "why");
    EXPECT_FALSE (folder.getChildFile ("Docs/e").exists());
    EXPECT_EQ (folder.getChildFile ("note.txt").loadFileAsString(), note.loadFileAsString());

    // The sender packed in its own temporary folder, not in this one's.
    EXPECT_TRUE (sender->temp.getChildFile ("Corvelline-" + juce::String ((juce::int64) geteuid()) + "/Corvelline/zipOut.zip").existsAsFile());
}
