// The "Accept?" dialog on the sandbox's display. These suites hold the CTest
// resource lock "display" (see tests/CMakeLists.txt).

#include "ServerPeers.h"

#include "ipc/Machine.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace ServerPeers;

struct ServerDialog : ServerFixture
{
    static std::vector<juce::AlertWindow*> dialogs (juce::String const& title = "Accept?")
    {
        std::vector<juce::AlertWindow*> found;

        for (int i = 0; i < juce::TopLevelWindow::getNumTopLevelWindows(); ++i)
            if (auto* w = dynamic_cast<juce::AlertWindow*> (juce::TopLevelWindow::getTopLevelWindow (i)))
                if (w->getName() == title && w->isCurrentlyModal (false))
                    found.push_back (w);

        return found;
    }

    /** Pumps until 'count' dialogs are open (bounded). */
    static bool waitForDialogs (size_t count, juce::String const& title = "Accept?")
    {
        for (int i = 0; i < 300 && dialogs (title).size() != count; ++i)
            pump (10);

        return dialogs (title).size() == count;
    }

    static void ask (DatagramPeer& peer, std::string const& request = "DISCOVERY_REQUEST")
    {
        peer.send (request);
        EXPECT_EQ (peer.receive().value_or (""), "WAIT");
    }

    static std::string acceptance (DatagramPeer const& peer)
    {
        return "ACCEPTED: " + std::to_string (computeMachineID (peer.address)) + " UDPPORT: "
                 + std::to_string (peer.port) + " CLUSTERID: " + std::to_string (clusterID);
    }

    void TearDown() override
    {
        ServerFixture::TearDown();
        EXPECT_TRUE (waitForDialogs (0)) << "dialogs left open";
    }
};

TEST_F (ServerDialog, YesAcceptsAndNoSendsNothing)
{
    startServer();
    addAddress ("192.168.77.2");
    addAddress ("192.168.77.3");
    DatagramPeer first ("192.168.77.2"), second ("192.168.77.3");

    ask (first);
    ask (second, "DISCOVERY_REQUEST CLUSTERID: -1");
    ASSERT_TRUE (waitForDialogs (2));
    EXPECT_TRUE (log->mentions ("Client unknown, asking for permission to add..."));

    for (auto* dialog : dialogs())
    {
        EXPECT_EQ (dialog->getNumButtons(), 2);
        auto const yes = dialog->getDescription() == "Accept?. Add 192.168.77.2 to Corvelline?";
        EXPECT_TRUE (yes || dialog->getDescription() == "Accept?. Add 192.168.77.3 to Corvelline?");
        dialog->triggerButtonClick (yes ? "Yes" : "No");
    }

    EXPECT_EQ (first.receive().value_or (""), acceptance (first));
    EXPECT_FALSE (second.receive (400).has_value());
    EXPECT_TRUE (log->mentions ("User accepted client"));
    EXPECT_TRUE (log->mentions ("Modal callback for 192.168.77.3 cancelled"));

    FramePeer tcp ("192.168.77.2");   // accepted: the connection is paired and served
    tcp.send ("Current input ID: 9");
    EXPECT_EQ (tcp.receive().value_or (""), "Current input ID: 9");
}

TEST_F (ServerDialog, RepeatedRequestsAndCancel)
{
    startServer();
    addAddress ("192.168.77.2");
    DatagramPeer peer ("192.168.77.2");

    // A dialog is open: a second request gets nothing and opens nothing.
    ask (peer);
    ASSERT_TRUE (waitForDialogs (1));
    peer.send ("DISCOVERY_REQUEST");
    EXPECT_FALSE (peer.receive (400).has_value());
    EXPECT_EQ (dialogs().size(), 1u);

    peer.send ("CANCEL: 192.168.77.2");
    EXPECT_TRUE (waitForDialogs (0));
    EXPECT_FALSE (peer.receive (300).has_value());
    EXPECT_TRUE (log->mentions ("UDPThread received CANCEL: 192.168.77.2"));
    EXPECT_TRUE (log->mentions ("Modal callback for 192.168.77.2 cancelled"));

    // Two requests before the message thread opens the first dialog: two "WAIT"s,
    // two dialogs; the cancel closes the later one, and the earlier still accepts.
    peer.send ("DISCOVERY_REQUEST");
    peer.send ("DISCOVERY_REQUEST");
    juce::Thread::sleep (300);   // the loop is not pumped meanwhile
    EXPECT_EQ (peer.receive().value_or (""), "WAIT");
    EXPECT_EQ (peer.receive().value_or (""), "WAIT");
    ASSERT_TRUE (waitForDialogs (2));
    auto const earlier = juce::Component::SafePointer<juce::AlertWindow> (dialogs().front());

    peer.send ("CANCEL: 192.168.77.2");
    ASSERT_TRUE (waitForDialogs (1));
    peer.send ("CANCEL: 192.168.77.2");   // no entry left: nothing happens
    pump (300);
    ASSERT_EQ (dialogs().size(), 1u);
    EXPECT_EQ (dialogs().front(), earlier.getComponent());

    dialogs().front()->triggerButtonClick ("Yes");
    EXPECT_EQ (peer.receive().value_or (""), acceptance (peer));
}

TEST_F (ServerDialog, DialogsAndTheirAnswersOutliveTheServerHarmlessly)
{
    startServer();
    std::vector<std::unique_ptr<DatagramPeer>> peers;

    for (int i = 10; i < 30; ++i)
    {
        addAddress ("192.168.77." + juce::String (i));
        peers.push_back (std::make_unique<DatagramPeer> ("192.168.77." + juce::String (i)));
        ask (*peers.back());
    }

    ASSERT_TRUE (waitForDialogs (20));

    // An answer given after the server went does nothing; the other dialogs close.
    auto* answered = dialogs().front();
    std::thread ([this] { destroyServer(); }).join();
    answered->exitModalState (1);   // what "Yes" does, before the posted closing runs
    EXPECT_TRUE (waitForDialogs (0));
    EXPECT_EQ (log->countMentioning ("User accepted client"), 1);
    EXPECT_FALSE (log->mentions ("Server: add new client"));

    // A dialog whose opening was posted just before the end is never opened.
    startServer();
    addAddress ("192.168.77.2");
    DatagramPeer late ("192.168.77.2");
    late.send ("DISCOVERY_REQUEST");
    juce::Thread::sleep (300);
    destroyServer();
    pump (300);
    EXPECT_TRUE (dialogs().empty());
}

TEST_F (ServerDialog, DiscoveryPortTakenShowsFailureAndTheServerStillRuns)
{
    int blocker = ::socket (AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any {};
    any.sin_family = AF_INET;
    any.sin_port = htons (25476);
    ASSERT_EQ (::bind (blocker, (sockaddr*) &any, sizeof (any)), 0);

    startServer();
    EXPECT_TRUE (log->mentions ("Server: binding to 192.168.77.1port 25476 for UDP failed"));
    ASSERT_TRUE (waitForDialogs (1, "Failure!"));
    EXPECT_EQ (dialogs ("Failure!").front()->getDescription(), "Failure!. UDP binding to 25476 failed.");
    dialogs ("Failure!").front()->exitModalState (0);
    EXPECT_TRUE (waitForDialogs (0, "Failure!"));

    FramePeer stranger;   // the listener runs
    stranger.send ("Send monitors");
    EXPECT_TRUE (stranger.silentFor());
    ::close (blocker);
}
