#include "ipc/ControlProtocol.h"
#include "support/LayoutViewHarness.h"
#include "support/LogCapture.h"
#include "support/RecordingClient.h"
#include "support/TestEnvironment.h"
#include "support/WirePeer.h"

#include <gtest/gtest.h>

using namespace LayoutViewHarness;
using TestEnvironment::pump;
using TestEnvironment::waitUntil;

namespace
{
juce::Image render (juce::Component& c) { return c.createComponentSnapshot (c.getLocalBounds()); }

/** A view on a content of 2000 x 2000 (scale 0.4) whose client records the calls. */
struct TileFixture : ::testing::Test
{
    RecordingClient client;
    MainComponent view { &client };

    void SetUp() override
    {
        view.resizeContentComponent (2000, 2000);
        pump (20);
    }

    juce::Rectangle<int> boundsOf (int id) { return view.findMachineComponent (id)->getBounds(); }
};

juce::Component* openMenuWindow()
{
    auto* modal = juce::ModalComponentManager::getInstance();
    return modal->getNumModalComponents() > 0 ? modal->getModalComponent (0) : nullptr;
}
} // namespace

TEST (MachineComponent, OneMonitorTileShowsMonitorAddressSizeAndLogo)
{
    MainComponent view (nullptr);
    auto& tile = *addTile (view, 1, { 0, 0, 1920, 1080 }, "MAC", true);
    auto const image = render (tile);
    auto const black = near (juce::Colours::black);

    // Light green monitor inset by 9 pixels, rounded, on black.
    EXPECT_EQ (image.getPixelAt (5, 540), juce::Colours::black);
    EXPECT_EQ (image.getPixelAt (12, 540), juce::Colours::lightgreen);
    EXPECT_EQ (image.getPixelAt (1907, 540), juce::Colours::lightgreen);
    EXPECT_EQ (image.getPixelAt (1912, 540), juce::Colours::black);
    EXPECT_EQ (image.getPixelAt (9, 9), juce::Colours::black);   // the rounded corner

    // The address in the top box and the size in the bottom box, centred;
    // letters 108 pixels high make a line about 75 pixels high.
    for (auto box : { juce::Rectangle<int> (9, 9, 1902, 117), juce::Rectangle<int> (0, 963, 1920, 117) })
    {
        auto ink = inkBounds (image, box.reduced (12, 0), black);
        EXPECT_NEAR (ink.getCentreX(), 960, 3) << box.toString();
        EXPECT_GT (ink.getHeight(), 65) << box.toString();
    }

    EXPECT_TRUE (inkBounds (image, { 20, 130, 1880, 120 }, black).isEmpty());

    // The logo, recoloured grey, fitted into the middle box.
    auto const logo = inkBounds (image, { 0, 200, 1920, 680 }, near (juce::Colours::grey, 30));
    EXPECT_TRUE (juce::Rectangle<int> (480, 270, 960, 540).contains (logo)) << logo.toString();
    EXPECT_NEAR (logo.getHeight(), 540, 4);
    EXPECT_NEAR (logo.getCentreX(), 960, 60);
}

TEST (MachineComponent, TwoMonitorTileDrawsEachMonitorWithItsNumberAndSize)
{
    MainComponent view (nullptr);
    auto& tile = *addTile (view, 2, { 0, 0, 4480, 1440 }, "LNX", false,
                           monitors ({ { -1920, 0, 1920, 1080 }, { 0, 0, 2560, 1440 } }));
    auto const image = render (tile);

    EXPECT_EQ (image.getPixelAt (100, 100), juce::Colours::darkgreen);
    EXPECT_EQ (image.getPixelAt (100, 1300), juce::Colours::black);
    EXPECT_EQ (image.getPixelAt (4000, 1300), juce::Colours::darkgreen);

    // "#0: 1920x1080" and "#1: 2560x1440", centred on their monitors; no logo.
    auto const grey = near (juce::Colours::lightgrey, 30);
    EXPECT_NEAR (inkBounds (image, { 0, 0, 1920, 1080 }, grey).getCentre().x, 960, 4);
    EXPECT_NEAR (inkBounds (image, { 0, 0, 1920, 1080 }, grey).getCentre().y, 540, 8);
    EXPECT_NEAR (inkBounds (image, { 1920, 0, 2560, 1440 }, grey).getCentre().x, 3200, 4);
    EXPECT_TRUE (inkBounds (image, { 0, 0, 4480, 1440 }, near (juce::Colours::grey, 10)).isEmpty());
}

TEST_F (TileFixture, DragPushesOutOfOtherTilesAndStaysInTheContent)
{
    struct Case { juce::Rectangle<int> other; juce::Point<int> travel; juce::Point<int> end; };

    for (auto const& c : {
             Case { { 150, 0, 100, 100 }, { 100, 0 }, { 50, 0 } },      // tops equal: out sideways, the shorter way
             Case { { 0, 150, 100, 100 }, { 0, 100 }, { 0, 50 } },      // left edges equal: out upwards
             Case { { 60, 160, 100, 100 }, { 20, 120 }, { 20, 60 } },   // equal pushes: vertically
             Case { { 500, 500, 100, 100 }, { -50, -80 }, { 0, 0 } } }) // the content's edge holds
    {
        view.clearMachines();
        pump (10);
        auto& dragged = *addTile (view, 1, { 0, 0, 100, 100 });
        addTile (view, 2, c.other);
        pump (10);

        dragTile (dragged, c.travel, juce::ModifierKeys::leftButtonModifier, false);
        EXPECT_EQ (dragged.getPosition().toString(), c.end.toString()) << c.other.toString();
    }
}

TEST_F (TileFixture, ReleaseSnapsOnePixelShortOfTheNearestEdgeWithinReach)
{
    struct Case { juce::Rectangle<int> first, second; int dropX; juce::Point<int> end; };

    for (auto const& c : {
             Case { { 1000, 0, 500, 500 }, { 0, 1500, 10, 10 }, 400, { 499, 0 } },      // 100 px: moves 99
             Case { { 1000, 0, 500, 500 }, { 0, 1500, 10, 10 }, 399, { 399, 0 } },      // 101 px: stays
             Case { { 1000, 0, 500, 500 }, { 0, 1500, 10, 10 }, 500, { 499, 0 } },      // contact: 1 px back
             Case { { 1000, 0, 500, 500 }, { 0, 1500, 300, 10 }, 400, { 499, 0 } },     // equal distances: first decides
             Case { { 0, 1500, 300, 10 }, { 1000, 0, 500, 500 }, 400, { 301, 0 } } })
    {
        view.clearMachines();
        pump (10);
        auto& dragged = *addTile (view, 1, { 0, 0, 500, 500 });
        addTile (view, 2, c.first);
        addTile (view, 3, c.second);
        pump (10);

        dragTile (dragged, { c.dropX, 0 });
        EXPECT_EQ (dragged.getPosition().toString(), c.end.toString()) << c.first.toString() << " drop at " << c.dropX;
    }
}

TEST_F (TileFixture, DragReportsThePlaceToTheRegistryAndTheServer)
{
    REQUIRE_PRIVATE_NETWORK();
    WirePeer::Listener server (ControlProtocol::serverPort);
    ASSERT_TRUE (client.connectToSocket (TestEnvironment::testAddress, ControlProtocol::serverPort, 1000));
    auto stream = server.accept();
    ASSERT_NE (stream, nullptr);
    stream->setPumping (true);
    stream->drain();   // the joining messages

    LogCapture log;
    auto& tile = *addTile (view, 7, { 0, 0, 500, 500 });
    pump (10);
    dragTile (tile, { 0, 0 });     // a click: nothing to report
    dragTile (tile, { 300, 40 });   // alone: not snapped

    EXPECT_EQ (client.callTexts(), "updateMachinePosition 7 300 40 false");
    EXPECT_EQ (stream->readText(), "Machine moved ID: 7 x: 300 y: 40");
    EXPECT_TRUE (stream->isSilentFor());
    EXPECT_EQ (log.getLines(), juce::StringArray ({ "MainComponent update machine pos after drag 7 300 40",
                                                    "Client sendMachineMovedMessage Machine moved ID: 7 x: 300 y: 40" }));
}

TEST_F (TileFixture, RightClickOffersAJumpAndStillDrags)
{
    auto pick = [] (bool choose)
    {
        auto* menu = openMenuWindow();

        if (menu == nullptr)
            return false;

        if (choose)
        {
            menu->keyPressed (juce::KeyPress (juce::KeyPress::downKey));
            menu->keyPressed (juce::KeyPress (juce::KeyPress::returnKey));
        }
        else
        {
            juce::PopupMenu::dismissAllActiveMenus();
        }

        return waitUntil ([] { return openMenuWindow() == nullptr; }, 3000);
    };

    auto& tile = *addTile (view, 5, { 0, 0, 500, 500 });
    pump (10);

    dragTile (tile, { 200, 0 }, juce::ModifierKeys::rightButtonModifier);
    EXPECT_EQ (tile.getX(), 200);
    ASSERT_TRUE (pick (false));

    dragTile (tile, {}, juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier | juce::ModifierKeys::ctrlModifier));
    ASSERT_TRUE (pick (true));
    pump (20);

    // The tile goes before the user picks: nothing happens.
    dragTile (tile, {}, juce::ModifierKeys::rightButtonModifier);
    view.clearMachines();
    pump (20);
    ASSERT_TRUE (pick (true));
    pump (20);

    EXPECT_EQ (client.callTexts(), "updateMachinePosition 5 200 0 false; jumpTo 5");
}
