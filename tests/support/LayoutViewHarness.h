#pragma once

#include "ui/MachineComponent.h"
#include "ui/MainComponent.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** Helpers for tests of the layout view: tiles placed in one call, rendered
    pixels searched for ink, and the mouse as the user moves it over a tile. */
namespace LayoutViewHarness
{
    inline juce::RectangleList<int> monitors (std::initializer_list<juce::Rectangle<int>> areas)
    {
        juce::RectangleList<int> list;

        for (auto const& area : areas)
            list.addWithoutMerging (area);

        return list;
    }

    /** Adds a machine (by default one monitor as large as 'bounds') and places
        its tile; its insertion into the content is still pending. */
    inline MachineComponent& addTile (MainComponent& view, int id, juce::Rectangle<int> bounds, juce::String const& os = "MAC",
                                      bool isLocal = false, juce::RectangleList<int> displays = {})
    {
        if (displays.isEmpty())
            displays.addWithoutMerging (bounds.withZeroOrigin());

        view.addMachine ("10.0.0." + juce::String (id), os, 50000 + id, id, displays, bounds, isLocal);
        view.moveMachineComponent (id, bounds.getX(), bounds.getY());
        return *view.findMachineComponent (id);
    }

    inline juce::Image render (juce::Component& c) { return c.createComponentSnapshot (c.getLocalBounds()); }

    /** The smallest rectangle holding every pixel of 'area' within 'tolerance'
        (sum of the channels' differences) of 'colour'; anti-aliased text counts. */
    inline juce::Rectangle<int> inkBounds (juce::Image const& image, juce::Rectangle<int> area, juce::Colour colour, int tolerance = 60)
    {
        juce::Rectangle<int> found;

        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                if (auto c = image.getPixelAt (x, y); std::abs (c.getRed() - colour.getRed()) + std::abs (c.getGreen() - colour.getGreen())
                                                        + std::abs (c.getBlue() - colour.getBlue()) <= tolerance)
                    found = found.isEmpty() ? juce::Rectangle<int> (x, y, 1, 1) : found.getUnion ({ x, y, 1, 1 });

        return found;
    }

    /** Presses on the tile with 'button', drags it by 'travel' in one move and
        (unless told not to) releases, in the tile's (virtual-desktop) pixels. */
    inline void dragTile (MachineComponent& tile, juce::Point<int> travel,
                          juce::ModifierKeys button = juce::ModifierKeys::leftButtonModifier, bool release = true)
    {
        auto event = [&tile] (juce::Point<int> at, juce::ModifierKeys mods, bool dragged) -> juce::MouseEvent
        {
            auto const now = juce::Time::getCurrentTime();
            return { juce::Desktop::getInstance().getMainMouseSource(), at.toFloat(), mods, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,
                     &tile, &tile, now, { 10.0f, 10.0f }, now, 1, dragged };
        };

        juce::Point<int> const start (10, 10);
        tile.mouseDown (event (start, button, false));
        tile.mouseDrag (event (start + travel, button, true));

        if (release)
            tile.mouseUp (event (start + travel, {}, ! travel.isOrigin()));
    }
}
