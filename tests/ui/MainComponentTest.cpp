#include "support/LayoutViewHarness.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace LayoutViewHarness;
using TestEnvironment::pump;

TEST (MainComponent, ContentSizeScalesTheViewAndPlacesTheButton)
{
    struct Case { int width, height; juce::Rectangle<int> view, button; };

    for (auto const& c : { Case { 4000, 1500, { 800, 350 }, { 700, 312, 75, 25 } },
                           Case { 3000, 1200, { 801, 371 }, { 701, 333, 75, 25 } },   // single-precision scale
                           Case { 0, 700, { 800, 600 }, { 700, 562, 75, 25 } },      // no width: the scale stays
                           Case { 1080, 11520, { 200, 650 }, { 100, 612, 75, 25 } },  // tall: scaled to its height,
                           Case { 3264, 2033400595, { 200, 650 }, { 100, 612, 75, 25 } } })   // however tall (a window
                                                                                             // that size overflows its image)
    {
        MainComponent view (nullptr);
        view.resizeContentComponent (c.width, c.height);
        pump (20);
        EXPECT_EQ (view.getBounds(), c.view) << c.width;
        EXPECT_EQ (view.getDetailsButton().getBounds(), c.button) << c.width;

        addTile (view, 1, { 0, 0, 100, 100 });   // tiles do not rescale
        view.resizeMachineComponent (1, 5000, 1000);
        EXPECT_EQ (view.getBounds(), c.view);
    }
}

TEST (MainComponent, HitTestFindsTheLastCreatedTileUnderThePoint)
{
    MainComponent view (nullptr);
    EXPECT_EQ (view.getIDOfMachineAt (0, 0), -1);

    addTile (view, 1, { 0, 0, 100, 100 });   // known at once, before their insertion runs
    addTile (view, 2, { 50, 0, 100, 100 });
    addTile (view, 3, { 150, 0, 100, 100 });

    std::tuple<int, int, int> const cases[] { { 10, 10, 1 }, { 75, 50, 2 }, { 149, 99, 2 }, { 150, 50, 3 }, { 250, 50, -1 }, { 10, 100, -1 } };

    for (auto [x, y, id] : cases)
        EXPECT_EQ (view.getIDOfMachineAt (x, y), id) << x << "," << y;

    view.moveMachineComponent (3, 1000, 0);
    EXPECT_EQ (view.getIDOfMachineAt (150, 50), -1);
}

TEST (MainComponent, TilesAreMovedRemovedAndClearedInTheOrderAskedFor)
{
    LogCapture log;
    MainComponent view (nullptr);
    addTile (view, 1, { 0, 0, 100, 100 });
    view.moveMachineComponent (1, 0, 0);   // already there
    view.moveMachineComponent (9, 5, 5);   // no such tile
    view.moveMachineComponent (1, 200, -50);
    EXPECT_EQ (log.getLines(), juce::StringArray ("MainComp moveMachineComponent 1 200 -50"));

    // Removals from another thread right after the machines came run after
    // their insertions; only the first tile with that address, port and id goes.
    auto one = monitors ({ { 0, 0, 100, 100 } });
    juce::Rectangle<int> small (100, 100), large (200, 100);
    view.addMachine ("10.0.0.2", "WIN", 50002, 2, one, small, false);
    view.addMachine ("10.0.0.2", "WIN", 50002, 2, one, large, false);
    std::thread ([&] { view.removeMachine ("10.0.0.2", 50002, 2); view.removeMachine ("10.0.0.1", 50002, 1); }).join();
    pump (50);
    ASSERT_EQ (view.getMachineComponents().size(), 2);
    EXPECT_EQ (view.getMachineComponents()[1]->getWidth(), 200);
    EXPECT_EQ (view.getContentComponent().getNumChildComponents(), 2);
    EXPECT_EQ (view.getIDOfMachineAt (150, 50), 2);

    // Clearing takes the tiles made before it was asked for, inserted or not;
    // a machine added meanwhile keeps its tile.
    addTile (view, 3, { 300, 0, 100, 100 });
    view.clearMachines();
    addTile (view, 4, { 400, 0, 100, 100 });
    pump (50);
    ASSERT_EQ (view.getMachineComponents().size(), 1);
    EXPECT_EQ (view.getContentComponent().getChildComponent (0), view.findMachineComponent (4));
    EXPECT_EQ (view.getIDOfMachineAt (300, 0), -1);
}

TEST (MainComponent, OtherThreadsHitTestAndWriteTheStatusWhileTheMessageThreadWorks)
{
    MainComponent view (nullptr);
    std::atomic<bool> done { false };
    std::atomic<int> strangeAnswers { 0 };

    std::thread tap ([&]   // as the event-tap thread
    {
        for (int n = 0; ! done; ++n)
        {
            strangeAnswers += juce::isPositiveAndBelow (view.getIDOfMachineAt (n % 400, 10) + 1, 5) ? 0 : 1;
            view.updateVirtualMonitorPosition ({ (double) (n % 400), 20.0 });
        }
    });

    std::thread events ([&]   // as the event thread
    {
        for (int n = 0; ! done; ++n, std::this_thread::yield())
        {
            view.setStreamingDebugText ("event " + juce::String (n));
            view.setReceivingOS (n % 2 == 0 ? "WIN" : "none");
            view.setIAmServer (n % 2 == 0);
            view.setBackgroundColour (n % 2 == 0 ? juce::Colours::blue : juce::Colours::grey);
        }
    });

    for (int round = 0; round < 40; ++round)
    {
        for (int id = 1; id <= 3; ++id)
            addTile (view, id, { 100 * id, 0, 100, 100 });

        view.moveMachineComponent (2, 0, 0);
        view.resizeMachineComponent (3, 50, 50);
        view.removeMachine ("10.0.0.1", 50001, 1);
        view.clearMachines();

        if (round % 10 == 0)
            view.getDetailsButton().triggerClick();

        pump (2);
        render (view);
    }

    done = true;
    tap.join();
    events.join();
    EXPECT_EQ (strangeAnswers, 0);   // every answer a machine's id or -1
}

TEST (MainComponent, LayoutPageShowsTilesBarAndMarker)
{
    MainComponent view (nullptr);
    view.resizeContentComponent (800, 550);
    addTile (view, 1, { 100, 100, 200, 100 }, "", true);
    pump (50);

    auto image = render (view);
    EXPECT_EQ (image.getPixelAt (50, 50), juce::Colours::darkgrey);
    EXPECT_EQ (image.getPixelAt (200, 150), juce::Colours::lightgreen);
    EXPECT_EQ (image.getPixelAt (10, 580), juce::Colours::darkgrey.darker (0.4f));

    // Before the first cursor update only the marker's lower right quarter shows.
    auto marker = inkBounds (image, { 0, 0, 30, 30 }, juce::Colours::red, 120);
    EXPECT_TRUE (! marker.isEmpty() && marker.getRight() <= 10) << marker.toString();

    view.updateVirtualMonitorPosition ({ 400.7, 300.2 });
    pump (20);
    image = render (view);
    EXPECT_TRUE (inkBounds (image, { 0, 0, 30, 30 }, juce::Colours::red, 120).isEmpty());   // not left behind
    marker = inkBounds (image, { 350, 250, 100, 100 }, juce::Colours::red, 120);
    EXPECT_TRUE (juce::Rectangle<int> (390, 290, 20, 20).contains (marker)) << marker.toString();
    EXPECT_NEAR (marker.getCentreX(), 400, 2);
}

TEST (MainComponent, DetailsPageShowsTheStatusTextsAndTheNewestStreamingLines)
{
    MainComponent view (nullptr);
    addTile (view, 1, { 0, 0, 800, 550 }, "", true);
    view.setDebugText ("DebugText");

    for (int i = 1; i <= 42; ++i)
        view.setStreamingDebugText (juce::String::repeatedString ("i", i));

    auto const lines = view.getStreamingDebugLines();   // 41 fit at the height of 600
    ASSERT_EQ (lines.size(), 41);
    EXPECT_EQ (lines[0].length(), 2);

    view.getDetailsButton().triggerClick();
    pump (50);
    EXPECT_EQ (view.getDetailsButton().getButtonText(), "Overview");
    auto const image = render (view);

    for (int line = 0; line < 8; ++line)   // the left column, centred
        EXPECT_NEAR (inkBounds (image, { 0, 12 + 20 * line, 400, 12 }, juce::Colours::white, 150).getCentreX(), 200, 3) << line;

    // The right column, newest (longest) first.
    auto const newest = inkBounds (image, { 400, 12, 400, 12 }, juce::Colours::white, 150);
    EXPECT_NEAR (newest.getCentreX(), 600, 3);
    EXPECT_GT (newest.getWidth(), inkBounds (image, { 400, 26, 400, 12 }, juce::Colours::white, 150).getWidth());

    // Neither tiles nor marker.
    EXPECT_TRUE (inkBounds (image, { 0, 200, 800, 340 }, juce::Colours::lightgreen, 30).isEmpty());
    EXPECT_TRUE (inkBounds (image, { 0, 0, 12, 12 }, juce::Colours::red, 120).isEmpty());

    view.getDetailsButton().triggerClick();
    pump (20);
    EXPECT_EQ (view.getDetailsButton().getButtonText(), "Details");
    EXPECT_TRUE (view.getContentComponent().isVisible());
}
