// The "Accept?" dialog on the sandbox's display. These suites hold the CTest
// resource lock "display" (see tests/CMakeLists.txt).

#include "support/ServerFixture.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

    static juce::AlertWindow* dialogFor (juce::String const& ip)
    {
        for (auto* w : dialogs())
            if (w->getDescription().endsWith ("Add " + ip + " to Corvelline?"))
                return w;

        return nullptr;
    }

    static bool waitForDialogs (size_t count, juce::String const& title = "Accept?")
    {
        return TestEnvironment::waitUntil ([&] { return dialogs (title).size() == count; }, 3000);
    }
};

TEST_F (ServerDialog, YesNoCancelAndRepeatedRequests)
{
    startServer();
    Peer first ("192.168.77.2"), second ("192.168.77.3");

    // Without a cluster ID, or with one below 0, the user is asked: "Yes" accepts, "No" sends nothing.
    first.ask ("DISCOVERY_REQUEST");
    second.ask ("DISCOVERY_REQUEST CLUSTERID: -1");
    EXPECT_EQ (first.udp->receiveText(), "WAIT");
    EXPECT_EQ (second.udp->receiveText(), "WAIT");
    ASSERT_TRUE (waitForDialogs (2));

    for (auto* dialog : dialogs())
    {
        auto const yes = dialog->getDescription() == "Accept?. Add 192.168.77.2 to Corvelline?";
        EXPECT_TRUE (yes || dialog->getDescription() == "Accept?. Add 192.168.77.3 to Corvelline?");
        dialog->triggerButtonClick (yes ? "Yes" : "No");
    }

    EXPECT_EQ (first.udp->receiveText(), acceptance (first));
    EXPECT_EQ (second.udp->receiveText (400), "(nothing)");
    first.connect();   // accepted: its connection is paired and served
    first.send ("Current input ID: 9");
    EXPECT_EQ (first.tcp->readText(), "Current input ID: 9");

    // While a dialog is open a second request gets nothing and opens nothing; "CANCEL: " closes it.
    second.ask ("DISCOVERY_REQUEST");
    EXPECT_EQ (second.udp->receiveText(), "WAIT");
    ASSERT_TRUE (waitForDialogs (1));
    second.ask ("DISCOVERY_REQUEST");
    EXPECT_EQ (second.udp->receiveText (400), "(nothing)");
    EXPECT_EQ (dialogs().size(), 1u);
    second.ask ("CANCEL: 192.168.77.3");
    EXPECT_TRUE (waitForDialogs (0));
    EXPECT_EQ (second.udp->receiveText (300), "(nothing)");

    // Two requests before the message thread opens the first dialog: one "WAIT"
    // and one dialog, which "CANCEL: " closes (a second one would be an orphan).
    second.ask ("DISCOVERY_REQUEST");
    second.ask ("DISCOVERY_REQUEST");
    juce::Thread::sleep (300);   // the loop is not pumped meanwhile
    EXPECT_EQ (second.udp->receiveText(), "WAIT");
    EXPECT_EQ (second.udp->receiveText (400), "(nothing)");
    EXPECT_EQ (dialogs().size(), 1u);
    second.ask ("CANCEL: 192.168.77.3");
    EXPECT_TRUE (waitForDialogs (0));
}

TEST_F (ServerDialog, DialogsAndTheirAnswersOutliveTheServerHarmlessly)
{
    startServer();
    std::vector<Peer> peers;

    for (int i = 10; i < 30; ++i)
    {
        peers.emplace_back ("192.168.77." + juce::String (i));
        peers.back().ask ("DISCOVERY_REQUEST");
        EXPECT_EQ (peers.back().udp->receiveText(), "WAIT");
    }

    // Four open at most; as one closes, the asker waiting longest gets its
    // own without asking again, and its "Yes" reaches the port it asked from;
    // "CANCEL: " takes an asker out of the line.
    ASSERT_TRUE (waitForDialogs (4));
    peers[5].ask ("CANCEL: 192.168.77.15");
    ASSERT_NE (dialogFor ("192.168.77.10"), nullptr);
    dialogFor ("192.168.77.10")->triggerButtonClick ("No");
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return dialogFor ("192.168.77.14") != nullptr; }, 3000));
    dialogFor ("192.168.77.11")->triggerButtonClick ("No");
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return dialogFor ("192.168.77.16") != nullptr; }, 3000));
    EXPECT_EQ (dialogFor ("192.168.77.15"), nullptr);
    EXPECT_EQ (dialogs().size(), 4u);
    dialogFor ("192.168.77.14")->triggerButtonClick ("Yes");
    EXPECT_EQ (peers[4].udp->receiveText(), acceptance (peers[4]));
    ASSERT_TRUE (waitForDialogs (4));

    // An answer given after the server went does nothing; the other dialogs close.
    auto* answered = dialogs().front();
    std::thread ([this] { destroyServer(); }).join();
    answered->exitModalState (1);   // what "Yes" does, before the posted closing runs
    EXPECT_TRUE (waitForDialogs (0));
    EXPECT_EQ (log->countMentioning ("User accepted client"), 2);
    EXPECT_EQ (log->countMentioning ("Server: add new client"), 1);   // the one accepted before

    // A dialog whose opening was posted just before the end is never opened.
    startServer();
    Peer late ("192.168.77.2");
    late.ask ("DISCOVERY_REQUEST");
    juce::Thread::sleep (300);
    destroyServer();
    TestEnvironment::pump (300);
    EXPECT_TRUE (dialogs().empty());
}

TEST_F (ServerDialog, DiscoveryPortTakenShowsFailureAndTheServerStillRuns)
{
    // A socket without address reuse, which the server's would share.
    int const blocker = ::socket (AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any {};
    any.sin_family = AF_INET;
    any.sin_port = htons (25476);
    ASSERT_EQ (::bind (blocker, (sockaddr*) &any, sizeof (any)), 0);

    startServer();   // returns although its discovery thread could not bind
    ASSERT_TRUE (waitForDialogs (1, "Failure!"));
    EXPECT_EQ (dialogs ("Failure!").front()->getDescription(), "Failure!. UDP binding to 25476 failed.");
    dialogs ("Failure!").front()->exitModalState (0);
    EXPECT_TRUE (waitForDialogs (0, "Failure!"));
    EXPECT_NE (WirePeer::Stream::connect (TestEnvironment::testAddress, 25477), nullptr);   // the listener runs
    ::close (blocker);
}
