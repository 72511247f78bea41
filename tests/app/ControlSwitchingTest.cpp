#include "AppRig.h"

#include "input/EventDatagram.h"
#include "ipc/MyQuillsteadIPC.h"
#include "support/ClientHarness.h"
#include "ui/MachineComponent.h"

#include <thread>

namespace
{
constexpr int T = 7, U = 8;

/** The application joined to a raw server, which reads what it sends. The main
    display lies right of another monitor, not at the origin; with
    'withMachines', the server has announced this machine and T and U to its
    right. */
struct SwitchingRig : AppRig
{
    RawServer server;
    std::unique_ptr<WirePeer::Stream> stream;
    juce::ValueTree changedDesktop;   // the last "changedMonitorInfo" sent
    int own = -1, ownPort = 0;

    explicit SwitchingRig (bool withMachines = true,
                           std::vector<DisplaySource::Display> monitors = { { { 0, 0, 1920, 1080 }, false },
                                                                            { { 1920, 0, 1280, 1024 }, true } })
    {
        displays.setDisplays (std::move (monitors));
        std::thread serving ([this] { stream = server.acceptNextSearch(); });
        construct().initialise ({});
        serving.join();
        own = app->clientID;
        ownPort = server.request->senderPort;

        if (withMachines)
        {
            add (own, TestEnvironment::testAddress, ownPort, { 0, 0, 3200, 1080 }, "MAC");
            add (T, "192.168.77.2", 40200, { 3200, 0, 1920, 1080 });
            add (U, "192.168.77.3", 40300, { 5120, 0, 1920, 1080 });
        }
    }

    ~SwitchingRig() { stop(); }

    /** What the application sent since the last call, joined with "; ". */
    juce::String sent()
    {
        if (stream == nullptr)
            return "<no connection>";

        juce::StringArray texts;

        while (auto payload = stream->readFrame (300))
        {
            texts.add (WirePeer::textOf (*payload));

            if (texts.strings.getLast() == "changedMonitorInfo")
                changedDesktop = juce::ValueTree::readFromData (payload->getData(), payload->getSize());
        }

        return texts.joinIntoString ("; ");
    }

    int mode() const { return app->socketThread->getMode(); }
    bool tapRuns() const { return app->listenerThread != nullptr && app->listenerThread->isThreadRunning(); }

    /** The local mouse moves to (x, y) by (dx, 0); true once the tap has taken it. */
    bool move (double x, double y, double dx)
    {
        auto event = InputEvent::mouseMove ({ x, y });
        event.delta = { dx, 0.0 };
        input.injectEvent (event);
        return input.waitUntilTapsIdle (5000);
    }

    /** A push into the right edge of this desktop, which crosses into T. */
    bool pushRight() { return move (3100, 500, 100) && move (3199, 500, 99); }
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

    // The edge crossing's switch: no jump to the middle, no warp. The
    // menu-bar picture turns normal while the input is away, active when it
    // comes to this desktop.
    app.prepareLocalAndRemote (T, false);
    EXPECT_EQ (rig.sent(), "Mode change receiving ID: 7");
    EXPECT_EQ (rig.mode(), SocketThread::Sending);
    EXPECT_EQ (app.socketThread->getTargetIP() + ":" + juce::String (app.socketThread->getTargetPort()), "192.168.77.2:40200");
    EXPECT_EQ (app.activeMonitorID, T);
    EXPECT_TRUE (rig.input.isWithholding());
    EXPECT_TRUE (rig.input.getWarps().empty());
    EXPECT_EQ (rig.picture(), "normal");

    app.takeBackControl();
    EXPECT_EQ (rig.sent(), "Send clipboard from ID1: 7 to ID2: " + own + "; Mode change receiving ID: -1");
    EXPECT_EQ (rig.mode(), SocketThread::Idle);
    EXPECT_FALSE (rig.input.isWithholding());
    EXPECT_EQ (rig.picture(), "active");

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

    // Receiving: only another receiver or another input ends it. The machine
    // whose input is in use is the sender from the start.
    app.gotReceivingModeMessage ("WIN");
    EXPECT_EQ (rig.mode(), SocketThread::Receiving);
    EXPECT_EQ (app.currentReceivingID, rig.own);
    EXPECT_EQ (rig.picture(), "active");
    EXPECT_EQ (app.socketThread->getSenderIP() + ":" + juce::String (app.socketThread->getSenderPort()), "192.168.77.3:40300");
    app.setCurrentReceivingID (rig.own);
    EXPECT_EQ (rig.mode(), SocketThread::Receiving);
    app.setCurrentReceivingID (U);
    EXPECT_EQ (rig.mode(), SocketThread::Idle);
    app.gotIdleModeMessage();
    EXPECT_EQ (rig.picture(), "normal");

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

    // The machine driving this one leaves before anything came from it: receiving ends.
    app.gotReceivingModeMessage ("WIN");
    app.removeMachine ("192.168.77.3", 40300, U);
    EXPECT_EQ (rig.mode(), SocketThread::Idle);

    // This machine's own user takes over while it is driven: its claim,
    // announced back by the server, ends receiving here too.
    app.gotReceivingModeMessage ("WIN");
    ASSERT_EQ (rig.mode(), SocketThread::Receiving);
    app.currentInputID = rig.own;     // its claim (the tap saw input of its own)
    app.setCurrentInputID (rig.own);  // announced back
    EXPECT_EQ (rig.mode(), SocketThread::Idle);
}

// The input comes home to this machine, wherever it was going, when another
// machine's input is announced (the driven machine's own user took over),
// when the server's connection is lost, and when the driven machine goes:
// the pointer moves where the user moves it, keys and clicks reach this
// desktop, and the next push into the edge crosses again.
TEST (AppControlSwitching, ControlComesHomeWhenTheDrivenMachinesUserTakesOverOrItsLinkIsGone)
{
    REQUIRE_PRIVATE_NETWORK();
    SwitchingRig rig;
    auto& app = *rig.app;
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return rig.tapRuns(); }));

    for (juce::String const how : { "taken over", "connection lost", "machine gone" })
    {
        SCOPED_TRACE (how);
        ASSERT_TRUE (rig.pushRight());
        ASSERT_EQ (app.activeMonitorID, T);
        ASSERT_EQ (rig.input.getWarps().back(), juce::Point<double> (2560.0, 512.0));
        EXPECT_EQ (rig.picture(), "normal");
        rig.sent();

        if (how == "taken over")
            app.setCurrentInputID (U);
        else if (how == "connection lost")
            std::thread ([&] { app.stopSocketThread (true); }).join();
        else
            std::thread ([&] { app.removeMachine ("192.168.77.2", 40200, T); }).join();

        EXPECT_EQ (rig.sent(), "");   // nothing new on the wire
        EXPECT_EQ (rig.mode(), SocketThread::Idle);
        EXPECT_EQ (app.activeMonitorID, rig.own);
        EXPECT_FALSE (rig.input.isWithholding());
        EXPECT_EQ (rig.picture(), "active");

        auto const warps = rig.input.getWarps().size();
        ASSERT_TRUE (rig.move (2700, 512, 140));
        EXPECT_EQ (rig.input.getWarps().size(), warps) << "the pointer was held";
        EXPECT_EQ (app.virtualCursor, juce::Point<double> (2700.0, 512.0));
        rig.input.injectEvent (InputEvent::key (0, true));
        ASSERT_TRUE (rig.input.waitUntilTapsIdle (5000));
        EXPECT_EQ (rig.input.getSeenEvents().back().verdict, EventTap::Verdict::pass);
    }

    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return ! rig.machine (T).has_value() && app.mainComponent->getIDOfMachineAt (3210, 500) < 0; }));
    ASSERT_TRUE (rig.pushRight());
    EXPECT_EQ (rig.mode(), SocketThread::Idle) << "T is gone";
    rig.add (T, "192.168.77.2", 40200, { 3200, 0, 1920, 1080 });
    ASSERT_TRUE (rig.pushRight());
    EXPECT_EQ (app.activeMonitorID, T);
    EXPECT_EQ (rig.mode(), SocketThread::Sending);
}

// While another client holds the input (a button held in a local window for
// a drag), control stays here and nothing goes to the server; the first push
// after the input is free again crosses.
TEST (AppControlSwitching, NoCrossingWhileTheInputCannotBeWithheld)
{
    REQUIRE_PRIVATE_NETWORK();
    SwitchingRig rig;
    auto& app = *rig.app;
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return rig.tapRuns(); }));
    app.currentInputID = rig.own;
    rig.sent();
    rig.input.setWithholdingAvailable (false);

    ASSERT_TRUE (rig.pushRight() && rig.pushRight());
    app.jumpTo (T);
    EXPECT_EQ (rig.sent(), "");
    EXPECT_EQ (app.activeMonitorID, rig.own);
    EXPECT_TRUE (rig.input.getWarps().empty());
    EXPECT_EQ (AppRig::count ("Control stays on this machine: its input cannot be withheld"), 1);

    // The pointer rests on the edge where the refused push left it; the
    // first push once the input can be withheld crosses from there.
    rig.input.setWithholdingAvailable (true);
    ASSERT_TRUE (rig.move (3199, 500, 4));
    EXPECT_EQ (rig.mode(), SocketThread::Sending);
    EXPECT_EQ (rig.sent(), "Mode change receiving ID: 7; Send clipboard from ID1: " + juce::String (rig.own) + " to ID2: 7");
}

// A receiver goes idle when no machine can drive it any more: the one that
// may drive it goes before its first datagram (this machine joined after the
// input was claimed, so any other member might have), or its own claim
// reached the server just before the order to receive (the driver comes home
// on hearing of that claim).
TEST (AppControlSwitching, AReceiverThatNobodyWillDriveGoesIdle)
{
    REQUIRE_PRIVATE_NETWORK();
    SwitchingRig rig;
    auto& app = *rig.app;

    app.gotReceivingModeMessage ("MAC");
    ASSERT_EQ (rig.mode(), SocketThread::Receiving);
    std::thread ([&] { app.removeMachine ("192.168.77.2", 40200, T); }).join();
    EXPECT_EQ (rig.mode(), SocketThread::Idle);

    app.currentInputID = rig.own;   // its claim (the tap saw input of its own)
    app.gotReceivingModeMessage ("MAC");
    EXPECT_EQ (rig.mode(), SocketThread::Idle);
}

// The event tap starts with the own machine alone, and with a second machine
// unless this one is being driven.
TEST (AppControlSwitching, TheEventTapStartsWithTheOwnMachineAndNeverWhileReceiving)
{
    REQUIRE_PRIVATE_NETWORK();
    SwitchingRig rig (false);
    auto& app = *rig.app;
    ASSERT_NE (app.listenerThread, nullptr);
    EXPECT_FALSE (rig.tapRuns());

    rig.add (rig.own, TestEnvironment::testAddress, rig.ownPort, { 0, 0, 3200, 1080 }, "MAC");
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return rig.tapRuns(); }));

    // Receiving, without the own machine's entry: two others do not start it.
    app.gotReceivingModeMessage ("MAC");
    ASSERT_EQ (rig.mode(), SocketThread::Receiving);
    app.stopListenerThread();
    ASSERT_FALSE (rig.tapRuns());
    std::thread ([&] { app.removeMachine (TestEnvironment::testAddress, rig.ownPort, rig.own); }).join();
    TestEnvironment::pump (50);
    rig.add (T, "192.168.77.2", 40200, { 3200, 0, 1920, 1080 });
    rig.add (U, "192.168.77.3", 40300, { 5120, 0, 1920, 1080 });
    TestEnvironment::pump (200);
    EXPECT_FALSE (rig.tapRuns());

    app.gotIdleModeMessage();
    rig.add (9, "192.168.77.9", 40900, { 7040, 0, 800, 600 });
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return rig.tapRuns(); }));
}

// The machine this one receives from goes: receiving ends, what it held is
// released, and the own machine is the active one; the picture stays.
TEST (AppControlSwitching, RemovingTheSenderEndsReceivingAndReleasesWhatItHeld)
{
    REQUIRE_PRIVATE_NETWORK();
    SwitchingRig rig;
    auto& app = *rig.app;
    app.gotReceivingModeMessage ("MAC");
    ASSERT_EQ (rig.mode(), SocketThread::Receiving);
    EXPECT_EQ (rig.picture(), "active");

    // T drives it from its own address (this machine has not heard whose input is in use).
    TestEnvironment::runIp ("addr add 192.168.77.2/24 dev t0");
    WirePeer::Datagrams sender (0, "192.168.77.2");
    auto const datagram = EventDatagram ("DriftLanternK7q").encrypt ("CGKey down: 0 flags: 256");
    ASSERT_TRUE (TestEnvironment::waitUntil ([&]
    {
        sender.sendBytes (TestEnvironment::testAddress, rig.ownPort, datagram.getData(), datagram.getSize());
        return TestEnvironment::waitUntil ([&] { return rig.input.getHeldInput().keys.count (0) != 0; }, 200);
    }));

    std::thread ([&] { app.removeMachine ("192.168.77.99", 40200, T); }).join();
    EXPECT_EQ (rig.mode(), SocketThread::Receiving) << "another address is no partner";
    std::thread ([&] { app.removeMachine ("192.168.77.2", 40200, T); }).join();
    EXPECT_EQ (rig.mode(), SocketThread::Idle);
    EXPECT_EQ (app.activeMonitorID, rig.own);
    EXPECT_TRUE (rig.input.getHeldInput().isEmpty());
    EXPECT_EQ (rig.picture(), "active");
}

// On a screen at 200% JUCE lists the displays in logical pixels; the desktop
// is announced, laid out, crossed and warped in the screen's own pixels. A
// changed desktop goes to the server as a tree with this machine's ID.
TEST (AppControlSwitching, ScaledDesktopsAreAnnouncedAndUsedInScreenPixels)
{
    REQUIRE_PRIVATE_NETWORK();
    SwitchingRig rig (true, { { { 0, 0, 960, 540 }, true, 2.0 } });
    auto& app = *rig.app;
    EXPECT_EQ (app.myTotalArea, juce::Rectangle<int> (0, 0, 1920, 1080));

    // The main display at 1.5, a second monitor right of it from (1920, 0).
    rig.displays.setDisplays ({ { { 0, 0, 1280, 720 }, true, 1.5 }, { { 1280, 0, 1280, 1024 }, false, 1.0, juce::Point<int> (1920, 0) } });
    juce::RectangleList<int> monitors;
    juce::Rectangle<int> total;
    TestEnvironment::waitUntil ([&] { rig.sent(); decodeMonitorInfo (monitors, total, rig.changedDesktop); return total.getWidth() == 3200; });
    EXPECT_EQ ((int) rig.changedDesktop["ID"], rig.own);
    EXPECT_EQ (total, juce::Rectangle<int> (0, 0, 3200, 1080));
    EXPECT_EQ (rig.machine (rig.own)->totalArea, juce::Rectangle<int> (0, 0, 3200, 1080));

    // The right edge is the screen's last pixel column; the pointer waits in
    // the middle of the main display.
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return rig.tapRuns(); }));
    ASSERT_TRUE (rig.pushRight());
    EXPECT_EQ (app.activeMonitorID, T);
    EXPECT_EQ (rig.input.getWarps().back(), juce::Point<double> (960.0, 540.0));
}

// What the details page and the tiles say as control moves.
TEST (AppControlSwitching, TheDetailsPageAndTheTilesSayWhatGoesOn)
{
    REQUIRE_PRIVATE_NETWORK();
    SwitchingRig rig;
    auto& app = *rig.app;
    app.showWindow();
    auto const own = juce::String (rig.own), port = juce::String (rig.ownPort);
    // The timer refreshes some of them: the page says it once the timer has run.
    auto status = [&] (juce::String const& expected)
    {
        juce::String shown;
        TestEnvironment::waitUntil ([&] { return (shown = app.mainComponent->getStatusTexts().joinIntoString (" | ")) == expected; }, 5000);
        return shown;
    };

    app.prepareLocalAndRemote (T, false);
    auto expected = "DebugText | KeyboardThread: running | Listening at " + port
                  + " | Active ID: 7 | Receiving flags: 256 | Pass events: no | Server: no | Receiving OS: WIN";
    EXPECT_EQ (status (expected), expected);
    app.takeBackControl();
    expected = "Idle mode | KeyboardThread: running | Listening at " + port + " | Active ID: " + own
             + " | Receiving flags: 256 | Pass events: yes | Server: no | Receiving OS: none";
    EXPECT_EQ (status (expected), expected);

    juce::RectangleList<int> two ({ 0, 0, 1920, 1080 });
    two.addWithoutMerging ({ 1920, 0, 1280, 1024 });
    juce::Rectangle<int> area (0, 1080, 3200, 1080);
    app.addMachine ("192.168.77.9", 40900, 9, two, area, "MAC");
    EXPECT_EQ (app.mainComponent->findMachineComponent (T)->getTexts(), juce::StringArray ({ "IP: 192.168.77.2 Port: 40200", "1920x1080 px" }));
    EXPECT_EQ (app.mainComponent->findMachineComponent (9)->getTexts(), juce::StringArray ({ "#0: 1920x1080", "#1: 1280x1024" }));
}
