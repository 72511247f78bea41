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
    struct Case { int contentWidth, contentHeight; juce::Rectangle<int> view, button; };

    for (auto const& c : { Case { 4000, 1500, { 0, 0, 800, 350 }, { 700, 312, 75, 25 } },
                           Case { 3000, 1200, { 0, 0, 801, 371 }, { 701, 333, 75, 25 } },   // single-precision scale
                           Case { 0, 700, { 0, 0, 800, 600 }, { 700, 562, 75, 25 } } })      // no width: scale kept
    {
        MainComponent view (nullptr);
        view.resizeContentComponent (c.contentWidth, c.contentHeight);
        pump (20);

        EXPECT_EQ (view.getBounds(), c.view) << c.contentWidth;
        EXPECT_EQ (view.getDetailsButton().getBounds(), c.button) << c.contentWidth;
    }

    // Moving or resizing a tile leaves the scale alone.
    MainComponent view (nullptr);
    view.resizeContentComponent (4000, 1500);
    pump (20);
    addTile (view, 1, { 0, 0, 1000, 1000 });
    view.resizeMachineComponent (1, 3000, 1400);
    EXPECT_EQ (view.getBounds(), juce::Rectangle<int> (0, 0, 800, 350));
}

TEST (MainComponent, HitTestFindsTheLastCreatedTileUnderThePoint)
{
    MainComponent view (nullptr);
    EXPECT_EQ (view.getIDOfMachineAt (0, 0), -1);

    // Known at once, before their insertion into the content has run.
    addTile (view, 1, { 0, 0, 100, 100 });
    addTile (view, 2, { 50, 0, 100, 100 });
    addTile (view, 3, { 150, 0, 100, 100 });

    struct Case { int x, y, id; };

    for (auto const& c : { Case { 10, 10, 1 }, Case { 75, 50, 2 }, Case { 149, 99, 2 }, Case { 150, 50, 3 },
                           Case { 250, 50, -1 }, Case { 10, 100, -1 }, Case { -1, 0, -1 } })
        EXPECT_EQ (view.getIDOfMachineAt (c.x, c.y), c.id) << c.x << "," << c.y;

    view.moveMachineComponent (3, 1000, 0);
    EXPECT_EQ (view.getIDOfMachineAt (150, 50), -1);
    EXPECT_EQ (view.getIDOfMachineAt (1000, 0), 3);
}

TEST (MainComponent, TilesAreMovedRemovedAndClearedInTheOrderAskedFor)
{
    LogCapture log;
    MainComponent view (nullptr);
    addTile (view, 1, { 0, 0, 100, 100 });
    view.moveMachineComponent (1, 0, 0);    // already there
    view.moveMachineComponent (9, 5, 5);    // no such tile
    EXPECT_EQ (log.countMentioning ("MainComp moveMachineComponent"), 0);
    view.moveMachineComponent (1, 200, -50);
    EXPECT_TRUE (log.contains ("MainComp moveMachineComponent 1 200 -50"));

    // Removals asked for on another thread right after the machines came run
    // after their insertions: only the first tile matching address, port and
    // id goes.
    juce::RectangleList<int> one = monitors ({ { 0, 0, 100, 100 } });
    juce::Rectangle<int> small (0, 0, 100, 100), large (0, 0, 200, 100);
    view.addMachine ("10.0.0.2", "WIN", 50002, 2, one, small, false);
    view.addMachine ("10.0.0.2", "WIN", 50002, 2, one, large, false);
    std::thread ([&] { view.removeMachine ("10.0.0.2", 50002, 2); view.removeMachine ("10.0.0.1", 50002, 1); }).join();
    pump (50);

    ASSERT_EQ (view.getMachineComponents().size(), 2);
    EXPECT_EQ (view.getMachineComponents()[1]->getWidth(), 200);
    EXPECT_EQ (view.getContentComponent().getNumChildComponents(), 2);
    EXPECT_EQ (view.getIDOfMachineAt (150, 50), 2);

    // Clearing takes the tiles made before it was asked for, also when they
    // are not inserted yet; a machine added meanwhile keeps its tile.
    addTile (view, 3, { 300, 0, 100, 100 });
    view.clearMachines();
    addTile (view, 4, { 400, 0, 100, 100 });
    pump (50);

    ASSERT_EQ (view.getMachineComponents().size(), 1);
    EXPECT_EQ (view.getMachineComponents()[0]->id, 4);
    EXPECT_EQ (view.getContentComponent().getNumChildComponents(), 1);
    EXPECT_EQ (view.getIDOfMachineAt (300, 0), -1);
}

TEST (MainComponent, HitTestsWhileTheMessageThreadChangesTheTiles)
{
    MainComponent view (nullptr);
    std::atomic<bool> done { false };
    std::atomic<int> strangeAnswers { 0 };

    std::thread tap ([&]
    {
        while (! done)
            for (int x = 0; x < 400; x += 50)
                if (auto id = view.getIDOfMachineAt (x, 10); id != -1 && (id < 1 || id > 3))
                    ++strangeAnswers;
    });

    for (int round = 0; round < 50; ++round)
    {
        for (int id = 1; id <= 3; ++id)
            addTile (view, id, { 100 * id, 0, 100, 100 });

        view.moveMachineComponent (2, 0, 0);
        view.resizeMachineComponent (3, 50, 50);
        view.removeMachine ("10.0.0.1", 50001, 1);
        view.clearMachines();
        pump (2);
    }

    done = true;
    tap.join();
    EXPECT_EQ (strangeAnswers, 0);
}

TEST (MainComponent, StreamingListKeepsWhatFitsTheHeight)
{
    MainComponent view (nullptr);

    for (int i = 1; i <= 42; ++i)
        view.setStreamingDebugText ("line " + juce::String (i));

    auto const lines = view.getStreamingDebugLines();
    ASSERT_EQ (lines.size(), 41);
    EXPECT_EQ (lines[0], "line 2");
    EXPECT_EQ (lines[40], "line 42");
}

TEST (MainComponent, LayoutPageShowsTilesBarAndMarker)
{
    MainComponent view (nullptr);
    view.resizeContentComponent (800, 550);
    addTile (view, 1, { 100, 100, 200, 100 }, "", true);
    pump (50);

    auto image = view.createComponentSnapshot (view.getLocalBounds());
    EXPECT_EQ (image.getPixelAt (50, 50), juce::Colours::darkgrey);
    EXPECT_EQ (image.getPixelAt (200, 150), juce::Colours::lightgreen);
    EXPECT_EQ (image.getPixelAt (10, 580), juce::Colours::darkgrey.darker (0.4f));

    // Before the first cursor update the marker sits on the corner: only its
    // lower right quarter shows.
    auto const red = near (juce::Colours::red, 120);
    auto marker = inkBounds (image, { 0, 0, 30, 30 }, red);
    EXPECT_FALSE (marker.isEmpty());
    EXPECT_LE (marker.getRight(), 10);

    view.updateVirtualMonitorPosition ({ 400.7, 300.2 });
    pump (20);
    image = view.createComponentSnapshot (view.getLocalBounds());
    EXPECT_TRUE (inkBounds (image, { 0, 0, 30, 30 }, red).isEmpty());
    marker = inkBounds (image, { 350, 250, 100, 100 }, red);
    EXPECT_TRUE (juce::Rectangle<int> (390, 290, 20, 20).contains (marker)) << marker.toString();
    EXPECT_NEAR (marker.getCentreX(), 400, 2);
}

TEST (MainComponent, DetailsPageShowsTheStatusTexts)
{
    MainComponent view (nullptr);
    addTile (view, 1, { 0, 0, 800, 550 }, "", true);
    view.setDebugText ("DebugText");
    view.setStreamingDebugText ("older");
    view.setStreamingDebugText ("newest event line");
    view.setIAmServer (true);
    view.getDetailsButton().triggerClick();
    pump (50);

    EXPECT_TRUE (view.isShowingDetails());
    EXPECT_EQ (view.getDetailsButton().getButtonText(), "Overview");

    auto const image = view.createComponentSnapshot (view.getLocalBounds());
    auto const white = near (juce::Colours::white, 150);

    // Eight lines on the left, centred in their column, each in its box.
    for (int line = 0; line < 8; ++line)
    {
        auto ink = inkBounds (image, { 0, 12 + 20 * line, 400, 12 }, white);
        EXPECT_FALSE (ink.isEmpty()) << line;
        EXPECT_NEAR (ink.getCentreX(), 200, 3) << line;
    }

    // The streaming lines on the right, newest first: the longer one on top.
    auto const newest = inkBounds (image, { 400, 12, 400, 12 }, white);
    auto const older = inkBounds (image, { 400, 26, 400, 12 }, white);
    EXPECT_NEAR (newest.getCentreX(), 600, 3);
    EXPECT_GT (newest.getWidth(), older.getWidth());

    // Neither tile nor marker.
    EXPECT_TRUE (inkBounds (image, { 0, 200, 800, 340 }, near (juce::Colours::lightgreen, 30)).isEmpty());
    EXPECT_TRUE (inkBounds (image, { 0, 0, 12, 12 }, near (juce::Colours::red, 120)).isEmpty());

    view.getDetailsButton().triggerClick();
    pump (50);
    EXPECT_EQ (view.getDetailsButton().getButtonText(), "Details");
    EXPECT_TRUE (view.getContentComponent().isVisible());
}
