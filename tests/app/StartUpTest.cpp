#include "AppRig.h"

#include "platform/AppTempFolder.h"
#include "support/ClientHarness.h"

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

// A server accepted this machine, but the connection to it failed: a server
// exists, so the machine searches again and joins it instead of serving too.
TEST (AppStartUp, AFailedConnectionAfterAnAcceptanceMeansSearchingAgain)
{
    REQUIRE_PRIVATE_NETWORK();
    AppRig rig;
    RawServer server;
    server.tcp.reset();
    std::unique_ptr<WirePeer::Stream> stream;

    std::thread serving ([&]
    {
        server.acceptNextSearch (9, 10000, false);
        server.request = server.udp.receive (10000);   // a search after the failed connection

        if (server.request.has_value())
        {
            server.tcp = std::make_unique<WirePeer::Listener> (ControlProtocol::serverPort);
            server.udp.send (server.request->senderIP, server.request->senderPort,
                             DiscoveryProtocol::acceptance (31, server.request->senderPort, 9));
            stream = server.acceptJoin();
        }
    });

    auto& app = rig.construct();
    app.initialise ({});
    serving.join();

    EXPECT_FALSE (app.hostsServer());
    EXPECT_NE (stream, nullptr);
    EXPECT_EQ (app.clientID.load(), 31);
    EXPECT_TRUE (server.joining.contains ("Connected client: 31")) << server.joiningTexts();
}
