#include "AppRig.h"

#include "ipc/DiscoveryProtocol.h"
#include "platform/AppTempFolder.h"
#include "platform/SecondLaunchNotice.h"
#include "support/WirePeer.h"

#include <thread>

// The first machine of a cluster: no server answers, so it becomes the server
// and its own first client; then it quits.
TEST (AppStartUp, AloneBecomesServerAndShutsDownLeavingNothingBehind)
{
    REQUIRE_PRIVATE_NETWORK();
    AppRig rig;
    rig.desktop.setTrusted (false);
    auto& app = rig.start();

    EXPECT_TRUE (app.hostsServer());
    EXPECT_NE (app.clientID, -1);
    EXPECT_EQ (app.activeMonitorID, app.clientID);
    EXPECT_FALSE (app.startingUp);
    EXPECT_NE (app.listenerThread, nullptr);   // started once a second machine comes
    EXPECT_EQ (app.myTotalArea, juce::Rectangle<int> (0, 0, 1920, 1080));

    // The menu, and the accessibility marker of a run without the rights.
    auto& item = rig.desktop.getStatusItem();
    EXPECT_EQ (item.getMenuTitle(), "Corvelline");
    EXPECT_EQ (item.getMenuTexts(), juce::StringArray ({ "Show Window", "Quit" }));
    EXPECT_TRUE (item.getImage().isValid());
    EXPECT_TRUE (item.pick ("Quit"));
    EXPECT_EQ (rig.desktop.getNumQuitRequests(), 1);
    EXPECT_EQ (rig.desktop.getTrustChecks(), std::vector<bool> { false });
    EXPECT_TRUE (AppFolders::getAccessibilityMarker().existsAsFile());

    // Shut-down: its lines last, in order; the own temporary folder goes,
    // what lies beside it stays.
    auto own = AppTempFolder::get();
    own.getChildFile ("zipOut.zip").replaceWithText ("x");
    auto beside = AppTempFolder::getSystemTempFolder().getChildFile ("someone-elses.txt");
    beside.replaceWithText ("y");

    app.shutdown();
    auto lines = AppRig::log();
    rig.app.reset();
    TestEnvironment::pump (300);
    EXPECT_EQ (AppRig::log(), lines);   // nothing after shut-down, not even from the destructors

    auto shutdownAt = lines.indexOf ("Shutdown...");
    ASSERT_GE (shutdownAt, 0);
    EXPECT_EQ (lines.indexOf ("...socketThread is gone"), shutdownAt + 1);
    EXPECT_GT (lines.indexOf ("...listenerThread too"), shutdownAt + 1);
    EXPECT_FALSE (own.exists());
    EXPECT_TRUE (beside.existsAsFile());
}

// A server that asks its user about this machine answers "WAIT"; the user
// here presses "Cancel". The start-up work, which JUCE's window would kill
// 10 s later, is told instead: it sends "CANCEL: " and goes on to become the
// server of a cluster of its own.
TEST (AppStartUp, CancelWhileWaitingForApprovalMakesItTheServerOfItsOwnCluster)
{
    REQUIRE_PRIVATE_NETWORK();
    AppRig rig;
    juce::String cancel;

    std::thread otherServer ([&]
    {
        auto broadcasts = std::make_unique<WirePeer::Datagrams> (DiscoveryProtocol::serverPort);
        WirePeer::Datagrams replies (0);   // answers from a port of its own, so 25476 is free again at once
        auto request = broadcasts->receive (10000);
        broadcasts.reset();

        if (request.has_value() && replies.send (request->senderIP, request->senderPort, DiscoveryProtocol::waitReply()))
            if (auto cancelled = replies.receive (10000))
                cancel = cancelled->text;
    });

    juce::Timer::callAfterDelay (1500, []
    {
        for (int i = 0; i < juce::Desktop::getInstance().getNumComponents(); ++i)
            if (auto* window = dynamic_cast<juce::AlertWindow*> (juce::Desktop::getInstance().getComponent (i)))
                for (auto* child : window->getChildren())
                    if (auto* button = dynamic_cast<juce::Button*> (child); button != nullptr && button->getButtonText() == "Cancel")
                        button->triggerClick();
    });

    auto& app = rig.construct();
    app.initialise ({});
    otherServer.join();

    EXPECT_TRUE (cancel.startsWith ("CANCEL: ")) << cancel;
    EXPECT_TRUE (app.hostsServer());
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return rig.machine (app.clientID).has_value(); }));
}

// A launch that JUCE refused (its initialise never ran) tells the running
// instance and leaves the temporary folder, which is the running instance's.
TEST (AppStartUp, RefusedLaunchTellsTheRunningInstanceAndKeepsItsFolder)
{
    AppRig rig;
    juce::StringArray heard;
    SecondLaunchNotice running ([&] (juce::String const& commandLine) { heard.add (commandLine); });
    ASSERT_TRUE (running.isListening());

    auto folder = AppTempFolder::get();
    folder.getChildFile ("transfer").replaceWithText ("in progress");

    rig.construct();
    rig.stop();

    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return heard.size() == 1; }));
    EXPECT_TRUE (folder.getChildFile ("transfer").existsAsFile());
    EXPECT_EQ (AppRig::count ("Shutdown..."), 1);
}
