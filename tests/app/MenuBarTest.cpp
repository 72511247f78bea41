#include "AppRig.h"

#include <thread>

namespace
{
int countMainWindows()
{
    int n = 0;

    for (int i = 0; i < juce::Desktop::getInstance().getNumComponents(); ++i)
        n += dynamic_cast<MainWindow*> (juce::Desktop::getInstance().getComponent (i)) != nullptr ? 1 : 0;

    return n;
}
} // namespace

TEST (AppMenuBar, ShowWindowMakesOneFreshWindowAndTheCloseButtonOnlyHidesTheView)
{
    AppRig rig;
    auto& app = rig.construct();

    app.showWindow();
    app.showWindow();
    EXPECT_EQ (countMainWindows(), 1);
    ASSERT_NE (app.mainWindow, nullptr);
    EXPECT_EQ (app.mainWindow->getContentComponent(), app.mainComponent.get());

    // The close button, then the event thread reporting to a window that is gone.
    app.mainWindow->closeButtonPressed();
    app.socketThread->setIdle();
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return app.mainWindow == nullptr; }));
    EXPECT_EQ (countMainWindows(), 0);
    EXPECT_NE (app.mainComponent, nullptr);

    app.showWindow();
    EXPECT_EQ (countMainWindows(), 1);

    // Pictures switched from another thread arrive on the message thread.
    auto images = rig.desktop.getStatusItem().getNumImagesSet();
    std::thread ([&] { app.gotIdleModeMessage(); }).join();
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return rig.desktop.getStatusItem().getNumImagesSet() == images + 1; }));
}

TEST (AppMenuBar, WithoutATrayTheWindowStandsInForTheMenuItsQuitButtonAndCloseButtonQuit)
{
    AppRig rig;
    auto& item = rig.desktop.getStatusItem();
    item.setShown (false);
    auto& app = rig.start();

    // At start: the window, with "Quit", and the lack in the log.
    EXPECT_EQ (countMainWindows(), 1);
    auto& quit = app.mainComponent->getQuitButton();
    EXPECT_TRUE (quit.isVisible());
    EXPECT_EQ (AppRig::count ("No system tray on this desktop: the main window stands in for the menu; "
                              "its \"Quit\" button, or closing it, quits Corvelline"), 1);

    quit.triggerClick();
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return rig.desktop.getNumQuitRequests() == 1; }));
    app.mainWindow->closeButtonPressed();
    EXPECT_EQ (rig.desktop.getNumQuitRequests(), 2);

    // A tray comes: "Quit" is in its menu, and closing the window only closes it.
    item.setShown (true);
    EXPECT_FALSE (quit.isVisible());
    app.showWindow();
    app.mainWindow->closeButtonPressed();
    EXPECT_EQ (rig.desktop.getNumQuitRequests(), 2);
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return app.mainWindow == nullptr; }));

    // The tray goes and stays away: the window comes back.
    item.setShown (false);
    EXPECT_TRUE (quit.isVisible());
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return app.mainWindow != nullptr && countMainWindows() == 1; }));
}
