#include "ipc/ControlProtocol.h"
#include "support/LayoutViewHarness.h"
#include "support/LogCapture.h"
#include "support/RecordingClient.h"
#include "support/TestEnvironment.h"
#include "support/WirePeer.h"

#include <gtest/gtest.h>

using namespace LayoutViewHarness;
using TestEnvironment::pump;

TEST (MachineComponent, OneMonitorTileShowsMonitorAddressSizeAndLogo)
{
    MainComponent view (nullptr);
    auto const image = render (addTile (view, 1, { 0, 0, 1920, 1080 }, "MAC", true));

    // The monitor: light green, inset by 9 pixels, rounded, on black.
    auto const black = juce::Colours::black, green = juce::Colours::lightgreen;
    std::tuple<int, int, juce::Colour> const pixels[] { { 5, 540, black }, { 12, 540, green }, { 1907, 540, green },
                                                        { 1912, 540, black }, { 9, 9, black } };

    for (auto [x, y, colour] : pixels)
        EXPECT_EQ (image.getPixelAt (x, y), colour) << x;

    // Address in the top box, size in the bottom box, centred, 108-pixel letters.
    for (auto box : { juce::Rectangle<int> (21, 9, 1878, 117), juce::Rectangle<int> (12, 963, 1896, 117) })
    {
        auto const ink = inkBounds (image, box, juce::Colours::black);
        EXPECT_TRUE (std::abs (ink.getCentreX() - 960) <= 3 && ink.getHeight() > 65) << ink.toString();
    }

    EXPECT_TRUE (inkBounds (image, { 20, 130, 1880, 120 }, juce::Colours::black).isEmpty());

    // The logo, recoloured grey, fitted into the middle box.
    auto const logo = inkBounds (image, { 0, 200, 1920, 680 }, juce::Colours::grey, 30);
    EXPECT_TRUE (juce::Rectangle<int> (480, 270, 960, 540).contains (logo) && logo.getHeight() >= 536) << logo.toString();
}

TEST (MachineComponent, TwoMonitorTileDrawsEachMonitorWithItsNumberAndSize)
{
    MainComponent view (nullptr);
    auto const image = render (addTile (view, 2, { 0, 0, 4480, 1440 }, "LNX", false,
                                        monitors ({ { -1920, 0, 1920, 1080 }, { 0, 0, 2560, 1440 } })));

    EXPECT_EQ (image.getPixelAt (100, 100), juce::Colours::darkgreen);
    EXPECT_EQ (image.getPixelAt (100, 1300), juce::Colours::black);
    EXPECT_EQ (image.getPixelAt (4000, 1300), juce::Colours::darkgreen);

    // "#0: 1920x1080" and "#1: 2560x1440" centred on their monitors; no logo.
    auto const first = inkBounds (image, { 0, 400, 1920, 280 }, juce::Colours::lightgrey, 30);
    EXPECT_LE (first.getCentre().getDistanceFrom ({ 960, 540 }), 6) << first.toString();
    EXPECT_NEAR (inkBounds (image, { 1920, 620, 2560, 200 }, juce::Colours::lightgrey, 30).getCentreX(), 3200, 4);
    EXPECT_TRUE (inkBounds (image, { 1120, 360, 2240, 100 }, juce::Colours::grey, 10).isEmpty());
}

namespace
{
/** A view on a content of 2000 x 2000 whose client records its calls. */
struct TileFixture : ::testing::Test
{
    RecordingClient client;
    MainComponent view { &client };

    void SetUp() override { view.resizeContentComponent (2000, 2000); }

    /** A fresh layout: the dragged tile (id 1, 'dragged') and the others (ids 2, 3, ...). */
    MachineComponent& layOut (juce::Rectangle<int> dragged, std::initializer_list<juce::Rectangle<int>> others)
    {
        view.clearMachines();
        pump (10);
        auto& tile = addTile (view, 1, dragged);
        int id = 2;

        for (auto const& other : others)
            addTile (view, id++, other);

        pump (10);
        return tile;
    }
};
} // namespace

TEST_F (TileFixture, DragPushesOutOfOtherTilesAndStaysInTheContent)
{
    struct Case { juce::Rectangle<int> other; juce::Point<int> travel, end; };

    for (auto const& c : { Case { { 150, 0, 100, 100 }, { 100, 0 }, { 50, 0 } },     // tops equal: the shorter way, sideways
                           Case { { 0, 150, 100, 100 }, { 0, 100 }, { 0, 50 } },     // left edges equal: upwards
                           Case { { 60, 160, 100, 100 }, { 20, 120 }, { 20, 60 } },  // equal pushes: vertically
                           Case { { 500, 500, 100, 100 }, { -50, -80 }, { 0, 0 } } }) // the content's edge holds
    {
        auto& dragged = layOut ({ 0, 0, 100, 100 }, { c.other });
        dragTile (dragged, c.travel, juce::ModifierKeys::leftButtonModifier, false);
        EXPECT_EQ (dragged.getPosition().toString(), c.end.toString()) << c.other.toString();
    }
}

TEST_F (TileFixture, ReleaseSnapsOnePixelShortOfTheNearestEdgeWithinReach)
{
    struct Case { juce::Rectangle<int> first, second; int dropX, endX; };
    juce::Rectangle<int> const right (1000, 0, 500, 500), farBelow (0, 1500, 10, 10), left (0, 1500, 300, 10);

    for (auto const& c : { Case { right, farBelow, 400, 499 },    // 100 px away: moves 99
                           Case { right, farBelow, 399, 399 },    // 101 px: stays
                           Case { right, farBelow, 500, 499 },    // in contact: 1 px back
                           Case { right, left, 400, 499 },        // equally near: the first made decides
                           Case { left, right, 400, 301 } })
    {
        auto& dragged = layOut ({ 0, 0, 500, 500 }, { c.first, c.second });
        dragTile (dragged, { c.dropX, 0 });
        EXPECT_EQ (dragged.getPosition().toString(), juce::Point<int> (c.endX, 0).toString()) << c.first.toString() << " " << c.dropX;
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
    auto& tile = layOut ({ 0, 0, 500, 500 }, {});
    dragTile (tile, { 0, 0 });     // a click reports nothing
    dragTile (tile, { 300, 40 });   // alone: not snapped

    EXPECT_EQ (client.callTexts(), "updateMachinePosition 1 300 40 false");
    EXPECT_EQ (stream->readTexts(), juce::StringArray ("Machine moved ID: 1 x: 300 y: 40"));
    EXPECT_EQ (log.getLines(), juce::StringArray ({ "MainComponent update machine pos after drag 1 300 40",
                                                    "Client sendMachineMovedMessage Machine moved ID: 1 x: 300 y: 40" }));
}

TEST_F (TileFixture, RightClickOffersAJumpAndStillDrags)
{
    auto closeMenu = [] (bool pickTheJump)
    {
        auto* menu = juce::ModalComponentManager::getInstance()->getModalComponent (0);
        ASSERT_NE (menu, nullptr);

        if (pickTheJump)
        {
            menu->keyPressed (juce::KeyPress (juce::KeyPress::downKey));
            menu->keyPressed (juce::KeyPress (juce::KeyPress::returnKey));
        }
        else
            juce::PopupMenu::dismissAllActiveMenus();

        ASSERT_TRUE (TestEnvironment::waitUntil ([] { return juce::ModalComponentManager::getInstance()->getNumModalComponents() == 0; }));
        pump (20);
    };

    auto& tile = layOut ({ 0, 0, 500, 500 }, {});
    dragTile (tile, { 200, 0 }, juce::ModifierKeys::rightButtonModifier);
    EXPECT_EQ (tile.getX(), 200);
    closeMenu (false);

    dragTile (tile, {}, juce::ModifierKeys (juce::ModifierKeys::leftButtonModifier | juce::ModifierKeys::ctrlModifier));
    closeMenu (true);

    dragTile (tile, {}, juce::ModifierKeys::rightButtonModifier);
    view.clearMachines();   // the tile goes before the user picks: nothing happens
    pump (20);
    closeMenu (true);

    EXPECT_EQ (client.callTexts(), "updateMachinePosition 1 200 0 false; jumpTo 1");
}
