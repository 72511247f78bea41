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
