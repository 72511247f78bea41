#include "ui/MainComponent.h"
#include "ui/MainWindow.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

TEST (MainWindow, ShowsTheBorrowedViewCentredFollowsItsSizeAndClosesThroughTheApplication)
{
    MainComponent view (nullptr);
    std::unique_ptr<MainWindow> window;
    int closes = 0;
    window = std::make_unique<MainWindow> ("Corvelline", &view, [&] { ++closes; window.reset(); });

    EXPECT_EQ (window->getName(), "Corvelline");
    EXPECT_TRUE (window->isUsingNativeTitleBar());
    EXPECT_TRUE (window->isResizable());
    EXPECT_TRUE (window->isVisible());
    EXPECT_EQ (window->getContentComponent(), &view);
    EXPECT_EQ (window->getWidth(), 800);
    EXPECT_EQ (window->getHeight(), 600);

    auto const* display = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay();
    ASSERT_NE (display, nullptr);
    EXPECT_LE (window->getBounds().getCentre().getDistanceFrom (display->userArea.getCentre()), 1);

    view.resizeContentComponent (4000, 1500);
    TestEnvironment::pump (50);
    EXPECT_EQ (window->getHeight(), 350);

    window->setStreamingDebugText ("event");
    EXPECT_EQ (view.getStreamingDebugLines(), juce::StringArray ("event"));

    // Closing goes through the application, which deletes the window; the
    // view stays, unparented.
    window->closeButtonPressed();
    EXPECT_EQ (closes, 1);
    EXPECT_EQ (window, nullptr);
    EXPECT_EQ (view.getParentComponent(), nullptr);
    EXPECT_EQ (view.getHeight(), 350);
}
