#include "AppRig.h"

#include "ipc/MyQuillsteadIPC.h"
#include "ui/MachineComponent.h"

#include <thread>

namespace
{
constexpr int ownID = 100, otherID = 7;
const juce::Rectangle<int> ownArea (0, 0, 1920, 1080), otherArea (1920, 0, 1280, 1024);

struct RegistryRig : AppRig
{
    RegistryRig()
    {
        construct().clientID = ownID;
        add (ownID, TestEnvironment::testAddress, 40100, ownArea, "MAC");
        add (otherID, "192.168.77.2", 40200, otherArea);
    }
};
} // namespace

TEST (AppRegistry, KnownIDsKeepTheirFirstEntryAndRemovalNeverOvertakesAnEarlierArrival)
{
    REQUIRE_PRIVATE_NETWORK();
    RegistryRig rig;
    auto& app = *rig.app;

    rig.add (otherID, "192.168.77.9", 1, { 5, 5, 10, 10 }, "MAC");
    EXPECT_EQ (rig.machine (otherID)->totalArea, otherArea);
    EXPECT_EQ (AppRig::count ("App addMachine: ID already there: 192.168.77.9, map size: 2"), 1);
    TestEnvironment::pump (50);
    EXPECT_EQ (app.mainComponent->getIDOfMachineAt (2000, 10), otherID);
    EXPECT_TRUE (app.mainComponent->findMachineComponent (ownID)->isLocal && ! app.mainComponent->findMachineComponent (otherID)->isLocal);

    // An entry announced before its desktop was known (a machine that joined
    // the server at the same moment) takes the desktop when it comes again.
    rig.add (9, "192.168.77.9", 40900, {}, "");
    rig.add (9, "192.168.77.9", 40900, { 0, 1080, 800, 600 }, "WIN");
    TestEnvironment::pump (100);
    ASSERT_TRUE (rig.machine (9).has_value());
    EXPECT_EQ (rig.machine (9)->totalArea, juce::Rectangle<int> (0, 1080, 800, 600));
    EXPECT_EQ (rig.machine (9)->OS, "WIN");
    EXPECT_EQ (app.mainComponent->getIDOfMachineAt (10, 1100), 9);
    app.removeMachine ("192.168.77.9", 40900, 9);
    TestEnvironment::pump (100);

    // A "machineInfo" posted to the message thread, then "Remove machine"
    // read on the connection thread before the post has run.
    juce::MessageManager::callAsync ([&] { rig.add (8, "192.168.77.8", 40300, { 0, 1080, 800, 600 }); });
    std::thread ([&] { app.removeMachine ("192.168.77.8", 40300, 8); }).join();
    TestEnvironment::pump (100);
    EXPECT_FALSE (rig.machine (8).has_value());
    EXPECT_EQ (app.mainComponent->getIDOfMachineAt (10, 1100), -1);
}

TEST (AppRegistry, MovesShiftTheVirtualCursorOnlyOnTheDrivenMachineWhileNotIdle)
{
    REQUIRE_PRIVATE_NETWORK();
    RegistryRig rig;
    auto& app = *rig.app;
    app.virtualCursor = { 2000.0, 100.0 };

    app.updateMachinePosition (otherID, 1920, 50, true);   // idle: the cursor stays
    EXPECT_EQ (app.virtualCursor, juce::Point<double> (2000.0, 100.0));
    EXPECT_EQ (rig.machine (otherID)->totalArea.getPosition(), juce::Point<int> (1920, 50));

    app.prepareLocalAndRemote (otherID, false);
    ASSERT_EQ (app.socketThread->getMode(), SocketThread::Sending);
    app.updateMachinePosition (otherID, 1900, 80, true);
    EXPECT_EQ (app.virtualCursor, juce::Point<double> (1980.0, 130.0));
    TestEnvironment::pump (50);
    EXPECT_EQ (app.mainComponent->getIDOfMachineAt (1901, 81), otherID);

    // Removing the machine this one sends to brings the input home.
    auto images = rig.desktop.getStatusItem().getNumImagesSet();
    std::thread ([&] { app.removeMachine ("192.168.77.2", 40200, otherID); }).join();
    EXPECT_EQ (app.socketThread->getMode(), SocketThread::Idle);
    EXPECT_EQ (app.activeMonitorID, ownID);
    EXPECT_FALSE (rig.input.isWithholding());
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return rig.desktop.getStatusItem().getNumImagesSet() == images + 1; }));
}

TEST (AppRegistry, TheTimerReportsAChangedBoundingBoxOnceAndAppliesItLocally)
{
    REQUIRE_PRIVATE_NETWORK();
    RegistryRig rig;
    auto& app = *rig.app;
    auto reports = [] { return AppRig::count ("Change my total area by timer callback"); };

    // The first tick finds no desktop read yet and reports the one it sees.
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return reports() == 1; }));

    rig.displays.setDisplays ({ { { 0, 0, 960, 1080 }, true }, { { 960, 0, 960, 1080 }, false } });
    TestEnvironment::pump (350);
    EXPECT_EQ (reports(), 1);   // rearranged inside the same box

    rig.displays.setDisplays ({ { { -1280, 0, 1280, 1024 }, false }, { { 0, 0, 2560, 1440 }, true } });
    TestEnvironment::pump (350);
    EXPECT_EQ (reports(), 2);
    EXPECT_EQ (AppRig::count ("New primary display width: 2560, height: 1440"), 1);
    EXPECT_EQ (app.myTotalArea, juce::Rectangle<int> (-1280, 0, 3840, 1440));
    EXPECT_EQ (rig.machine (ownID)->totalArea, juce::Rectangle<int> (0, 0, 3840, 1440));   // place kept, size new
    EXPECT_EQ (rig.machine (ownID)->displays.getNumRectangles(), 2);
}

// A desktop no machine has, from a damaged tree (a member once announced
// 800 x 1,694,499,416), and a content sized after it are refused.
TEST (AppRegistry, ImpossibleDesktopsAndContentSizesAreRefused)
{
    REQUIRE_PRIVATE_NETWORK();
    RegistryRig rig;
    juce::Rectangle<int> const damaged (0, 0, 800, 1694499416);
    juce::ValueTree changed ("changedMonitorInfo", { { "ID", otherID } });
    addMonitorInfo (juce::RectangleList<int> (damaged), damaged, changed);
    rig.app->updateMachineDisplay (changed);
    rig.add (9, "192.168.77.9", 40900, damaged);
    rig.app->resizeContentComponent (3264, 2033400595);
    TestEnvironment::pump (50);

    EXPECT_EQ (rig.machine (otherID)->totalArea, otherArea);
    EXPECT_FALSE (rig.machine (9).has_value());
    EXPECT_EQ (rig.app->mainComponent->getContentComponent().getHeight(), 550);   // as it was made
}
