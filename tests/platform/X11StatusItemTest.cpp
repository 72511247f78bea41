#include "platform/X11StatusItem.h"
#include "ProbeTrayManager.h"
#include "support/TestEnvironment.h"

#include "support/LogCapture.h"

#include <gmock/gmock.h>
#include <juce_gui_basics/juce_gui_basics.h>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace
{
juce::Image picture (juce::Colour colour)
{
    juce::Image image (juce::Image::ARGB, 36, 36, true);
    juce::Graphics g (image);
    g.setColour (colour);
    g.fillEllipse (2.0f, 2.0f, 32.0f, 32.0f);
    return image;
}

template <typename Predicate>
bool pumpUntil (Predicate done, int timeoutMs = 5000)
{
    auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! done() && juce::Time::getMillisecondCounter() < deadline)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);

    return done();
}

bool runXdotool (juce::StringArray arguments)
{
    arguments.insert (0, "xdotool");
    juce::ChildProcess xdotool;
    return xdotool.start (arguments, 0) && xdotool.waitForProcessToFinish (5000) && xdotool.getExitCode() == 0;
}

/** Moves the pointer to a screen point, lets JUCE see it rest there, and clicks
    the first button through XTest, as a user would. */
bool clickAt (juce::Point<int> point)
{
    // Arrive from elsewhere, so that the window under the pointer sees it enter.
    if (! runXdotool ({ "mousemove", juce::String (point.x - 60), juce::String (point.y + 120) }))
        return false;

    juce::MessageManager::getInstance()->runDispatchLoopUntil (100);

    if (! runXdotool ({ "mousemove", juce::String (point.x), juce::String (point.y) }))
        return false;

    juce::MessageManager::getInstance()->runDispatchLoopUntil (300);
    return runXdotool ({ "click", "1" });
}

juce::Component* openMenuWindow()
{
    auto* modal = juce::ModalComponentManager::getInstance();
    return modal->getNumModalComponents() > 0 ? modal->getModalComponent (0) : nullptr;
}
} // namespace

TEST (X11StatusItem, WithoutATrayNothingIsShownTheLackIsLoggedOnceAndTheProgramRunsOn)
{
    LogCapture log;
    X11StatusItem item;
    item.setMenu ("Corvelline", { { "Show Window", [] {} }, { "Quit", [] {} } });

    item.setImage (picture (juce::Colours::blue));
    item.setImage (picture (juce::Colours::olive));

    EXPECT_FALSE (item.isShown());
    EXPECT_EQ (item.getWindowId(), 0ul);
    EXPECT_EQ (log.countMentioning ("no system tray"), 1);

    // Nothing of ours sits on the desktop (JUCE would leave a 1x1 window at 0,0).
    for (int i = 0; i < juce::Desktop::getInstance().getNumComponents(); ++i)
        EXPECT_FALSE (juce::Desktop::getInstance().getComponent (i)->isVisible());

    juce::MessageManager::getInstance()->runDispatchLoopUntil (50);
    EXPECT_EQ (item.getImage().getPixelAt (18, 18), juce::Colours::olive);
}

TEST (X11StatusItem, DocksInTheTrayAndItsMenuPicksShowWindowAndQuit)
{
    ProbeTrayManager tray;
    ASSERT_TRUE (tray.isRunning());

    X11StatusItem item;
    item.setImage ({});
    EXPECT_FALSE (item.isShown()) << "a null picture changes nothing";

    item.setImage (picture (juce::Colours::blue));
    ASSERT_TRUE (item.isShown());
    ASSERT_TRUE (pumpUntil ([&] { return tray.getDockRequests().size() == 1; }));
    EXPECT_EQ (tray.getDockRequests()[0], item.getWindowId());

    // A new picture repaints the docked icon; it does not dock again.
    item.setImage (picture (juce::Colours::olive));
    juce::MessageManager::getInstance()->runDispatchLoopUntil (100);
    EXPECT_EQ (tray.getDockRequests().size(), 1u);

    int shows = 0, quits = 0;
    item.setMenu ("Corvelline", { { "Show Window", [&] { ++shows; } }, { "Quit", [&] { ++quits; } } });

    // Let the icon take its place in the tray before clicking it.
    juce::MessageManager::getInstance()->runDispatchLoopUntil (200);

    for (int entry = 0; entry < 2; ++entry)
    {
        // A click that arrives while the tray is still settling the icon can be
        // lost on the way; a user would click again.
        bool opened = false;

        for (int attempt = 0; attempt < 3 && ! opened; ++attempt)
        {
            ASSERT_TRUE (clickAt (tray.getSlotCentre (0)));
            opened = pumpUntil ([] { return openMenuWindow() != nullptr; }, 2000);
        }

        ASSERT_TRUE (opened) << "clicks on the icon opened no menu";

        auto bounds = openMenuWindow()->getScreenBounds();
        auto entryCentre = juce::Point<int> (bounds.getCentreX(), bounds.getY() + bounds.getHeight() * (1 + 2 * entry) / 4);
        ASSERT_TRUE (clickAt (entryCentre));
        ASSERT_TRUE (pumpUntil ([&] { return shows + quits == entry + 1; })) << "entry " << entry;
        ASSERT_TRUE (pumpUntil ([] { return openMenuWindow() == nullptr; }));
    }

    EXPECT_EQ (shows, 1);
    EXPECT_EQ (quits, 1);
}
