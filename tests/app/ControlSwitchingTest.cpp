#include "AppRig.h"

#include "support/ClientHarness.h"

#include <thread>

namespace
{
constexpr int T = 7, U = 8;

/** The application joined to a raw server, which reads what it sends. The main
    display lies right of another monitor, not at the origin. */
struct SwitchingRig : AppRig
{
    RawServer server;
    std::unique_ptr<WirePeer::Stream> stream;
    int own = -1;

    SwitchingRig()
    {
        displays.setDisplays ({ { { 0, 0, 1920, 1080 }, false }, { { 1920, 0, 1280, 1024 }, true } });
        std::thread serving ([this] { stream = server.acceptNextSearch(); });
        construct().initialise ({});
        serving.join();
        own = app->clientID;

        add (own, TestEnvironment::testAddress, server.request->senderPort, { 0, 0, 3200, 1080 }, "MAC");
        add (T, "192.168.77.2", 40200, { 3200, 0, 1920, 1080 });
        add (U, "192.168.77.3", 40300, { 5120, 0, 1920, 1080 });
    }

    ~SwitchingRig() { stop(); }

    /** What the application sent since the last call, joined with "; ". */
    juce::String sent() { return stream != nullptr ? stream->readTexts (300).joinIntoString ("; ") : "<no connection>"; }
    int mode() const { return app->socketThread->getMode(); }
};
} // namespace

TEST (AppControlSwitching, OperationsMoveControlAndTellTheServer)
{
    REQUIRE_PRIVATE_NETWORK();
    SwitchingRig rig;
    auto& app = *rig.app;
    ASSERT_NE (rig.stream, nullptr);
    auto const own = juce::String (rig.own);
    rig.sent();

    // The edge crossing's switch: no jump to the middle, no warp.
    app.prepareLocalAndRemote (T, false);
    EXPECT_EQ (rig.sent(), "Mode change receiving ID: 7");
    EXPECT_EQ (rig.mode(), SocketThread::Sending);
    EXPECT_EQ (app.socketThread->getTargetIP() + ":" + juce::String (app.socketThread->getTargetPort()), "192.168.77.2:40200");
    EXPECT_EQ (app.activeMonitorID, T);
    EXPECT_TRUE (rig.input.isWithholding());
    EXPECT_TRUE (rig.input.getWarps().empty());

    app.takeBackControl();
    EXPECT_EQ (rig.sent(), "Send clipboard from ID1: 7 to ID2: " + own + "; Mode change receiving ID: -1");
    EXPECT_EQ (rig.mode(), SocketThread::Idle);
    EXPECT_FALSE (rig.input.isWithholding());

    // Already at home: no clipboard from this machine to itself.
    app.takeBackControl();
    EXPECT_EQ (rig.sent(), "Mode change receiving ID: -1");

    // A jump with the own input in use: the pointer goes to the main
    // display's centre, the virtual one to the middle of T's first monitor.
    app.currentInputID = rig.own;
    app.jumpTo (T);
    EXPECT_EQ (rig.sent(), "Send clipboard from ID1: " + own + " to ID2: 7; Mode change receiving ID: 7; Request jump to middle: 7");
    EXPECT_EQ (rig.input.getWarps().back(), juce::Point<double> (2560.0, 512.0));
    EXPECT_EQ (app.virtualCursor, juce::Point<double> (4160.0, 540.0));

    app.currentReceivingID = T;
    app.jumpTo (T);   // input goes there already
    EXPECT_EQ (rig.sent(), "");

    app.jumpTo (U);
    EXPECT_EQ (rig.sent(), "Send clipboard from ID1: 7 to ID2: 8; Mode change receiving ID: 8; Request jump to middle: 8");

    // The own tile brings the input home; it is never sent to itself.
    app.jumpTo (rig.own);
    EXPECT_EQ (rig.sent(), "Mode change idle ID: 8; Send clipboard from ID1: 8 to ID2: " + own + "; Mode change receiving ID: -1");
    EXPECT_EQ (rig.mode(), SocketThread::Idle);
    app.jumpTo (rig.own);
    EXPECT_EQ (rig.sent(), "");

    // Another machine's input in use stops this one sending.
    app.prepareLocalAndRemote (T, false);
    EXPECT_EQ (rig.sent(), "Mode change receiving ID: 7");
    app.setCurrentInputID (U);
    EXPECT_EQ (rig.mode(), SocketThread::Idle);

    // Receiving: only another receiver or another input ends it.
    app.gotReceivingModeMessage ("WIN");
    EXPECT_EQ (rig.mode(), SocketThread::Receiving);
    EXPECT_EQ (app.currentReceivingID, rig.own);
    app.setCurrentReceivingID (rig.own);
    EXPECT_EQ (rig.mode(), SocketThread::Receiving);
    app.setCurrentReceivingID (U);
    EXPECT_EQ (rig.mode(), SocketThread::Idle);

    // Jumps while receiving go through the server; idle first.
    app.gotReceivingModeMessage ("WIN");
    app.jumpTo (U);
    EXPECT_EQ (rig.mode(), SocketThread::Idle);
    app.gotReceivingModeMessage ("WIN");
    app.jumpTo (T);
    EXPECT_EQ (rig.sent(), "Take back control: 8; Start control from 8 to 7");

    // Idle while another machine's input is in use: a jump does nothing.
    app.jumpTo (T);
    EXPECT_EQ (rig.sent(), "");
    EXPECT_EQ (rig.mode(), SocketThread::Idle);
}
