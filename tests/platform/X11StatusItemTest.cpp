#include "platform/x11/X11StatusItem.h"
#include "support/X11Probe.h"
#include "support/TrayStrip.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>
#include <juce_gui_basics/juce_gui_basics.h>

using TestEnvironment::pump;
using TestEnvironment::waitUntil;

namespace
{
juce::Image picture (juce::Colour colour)
{
    juce::Image image (juce::Image::ARGB, 36, 36, true);
    juce::Graphics (image).fillAll (colour);
    return image;
}

juce::Component* openMenuWindow()
{
    auto* modal = juce::ModalComponentManager::getInstance();
    return modal->getNumModalComponents() > 0 ? modal->getModalComponent (0) : nullptr;
}
} // namespace

TEST (X11StatusItem, WithoutATrayNothingIsShownATrayThatStartsLaterOrRestartsGetsTheIcon)
{
    X11StatusItem item;
    int changes = 0;
    item.onShownChange = [&] { ++changes; };
    item.setMenu ("Corvelline", { { "Show Window", [] {} }, { "Quit", [] {} } });
    item.setImage (picture (juce::Colours::blue));
    item.setImage (picture (juce::Colours::olive));
    pump (50);

    EXPECT_FALSE (item.isShown());
    EXPECT_EQ (item.getWindowId(), 0ul);
    EXPECT_EQ (item.getImage().getPixelAt (18, 18), juce::Colours::olive);

    // Nothing of ours sits on the desktop (JUCE would leave a 1x1 window at 0,0).
    for (int i = 0; i < juce::Desktop::getInstance().getNumComponents(); ++i)
        EXPECT_FALSE (juce::Desktop::getInstance().getComponent (i)->isVisible());

    // A tray that starts now gets the icon, and so does the next one.
    for (int run = 0; run < 2; ++run)
    {
        auto tray = std::make_unique<TrayStrip>();
        ASSERT_TRUE (tray->isRunning());
        ASSERT_TRUE (waitUntil ([&] { return item.isShown() && tray->getIcons().size() == 1; })) << "run " << run;
        EXPECT_EQ (tray->getIcons()[0], item.getWindowId());
        EXPECT_EQ (changes, 2 * run + 1);

        tray.reset();
        ASSERT_TRUE (waitUntil ([&] { return ! item.isShown(); })) << "run " << run;
        EXPECT_EQ (changes, 2 * run + 2);
    }
}

TEST (X11StatusItem, DocksInTheTrayAndItsMenuPicksShowWindowAndQuit)
{
    TrayStrip tray;
    ASSERT_TRUE (tray.isRunning());
    X11Probe user (juce::SystemStats::getEnvironmentVariable ("DISPLAY", {}));
    ASSERT_TRUE (user.isOk());

    // Moves to a point from elsewhere (so the window there sees the pointer
    // enter), lets JUCE see it rest, and clicks, as a user would.
    auto clickAt = [&] (juce::Point<int> point)
    {
        user.moveTo (point + juce::Point<int> (-60, 120));
        pump (100);
        user.moveTo (point);
        pump (300);
        user.button (1, true);
        user.button (1, false);
    };

    X11StatusItem item;
    item.setImage ({});
    EXPECT_FALSE (item.isShown()) << "a null picture changes nothing";
    item.setImage (picture (juce::Colours::blue));
    ASSERT_TRUE (item.isShown());
    ASSERT_TRUE (waitUntil ([&] { return tray.getIcons().size() == 1; }));
    EXPECT_EQ (tray.getIcons()[0], item.getWindowId());

    // It takes the size the tray gives it, and paints its picture there.
    ASSERT_TRUE (waitUntil ([&] { return item.getIconBounds().getWidth() == TrayStrip::slot; }));
    auto const middle = juce::Rectangle<int> (1, 1).withPosition (tray.getSlotCentre (0));
    EXPECT_TRUE (waitUntil ([&] { return user.capture (middle).getPixelAt (0, 0) == juce::Colours::blue; }));

    // A new picture repaints the docked icon; it does not dock again.
    item.setImage (picture (juce::Colours::olive));
    int shows = 0, quits = 0;
    item.setMenu ("Corvelline", { { "Show Window", [&] { ++shows; } }, { "Quit", [&] { ++quits; } } });
    pump (200);   // lets the icon take its place in the tray
    EXPECT_EQ (tray.getIcons().size(), 1u);

    for (int entry = 0; entry < 2; ++entry)
    {
        // A click while the tray still settles the icon can be lost; a user would click again.
        for (int attempt = 0; attempt < 3 && openMenuWindow() == nullptr; ++attempt)
        {
            clickAt (tray.getSlotCentre (0));
            waitUntil ([] { return openMenuWindow() != nullptr; }, 2000);
        }

        ASSERT_NE (openMenuWindow(), nullptr) << "clicks on the icon opened no menu";
        auto bounds = openMenuWindow()->getScreenBounds();
        clickAt ({ bounds.getCentreX(), bounds.getY() + bounds.getHeight() * (1 + 2 * entry) / 4 });
        ASSERT_TRUE (waitUntil ([&] { return shows + quits == entry + 1; })) << "entry " << entry;
        ASSERT_TRUE (waitUntil ([] { return openMenuWindow() == nullptr; }));
    }

    EXPECT_EQ (shows, 1);
    EXPECT_EQ (quits, 1);
}
