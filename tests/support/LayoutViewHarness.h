#pragma once

#include "ui/MachineComponent.h"
#include "ui/MainComponent.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

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

    /** Adds a machine of one monitor as large as 'bounds' (or 'displays'), and
        places its tile; the insertion into the content is still pending. */
    inline MachineComponent* addTile (MainComponent& view, int id, juce::Rectangle<int> bounds,
                                      juce::String const& os = "MAC", bool isLocal = false,
                                      juce::RectangleList<int> displays = {})
    {
        if (displays.isEmpty())
            displays.addWithoutMerging (bounds.withZeroOrigin());

        view.addMachine ("10.0.0." + juce::String (id), os, 50000 + id, id, displays, bounds, isLocal);
        view.moveMachineComponent (id, bounds.getX(), bounds.getY());
        return view.findMachineComponent (id);
    }

    /** The smallest rectangle holding every pixel of 'area' that is ink. */
    inline juce::Rectangle<int> inkBounds (juce::Image const& image, juce::Rectangle<int> area,
                                           std::function<bool (juce::Colour)> const& isInk)
    {
        juce::Rectangle<int> found;
        juce::Image::BitmapData pixels (image, juce::Image::BitmapData::readOnly);

        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
                if (isInk (pixels.getPixelColour (x, y)))
                    found = found.isEmpty() ? juce::Rectangle<int> (x, y, 1, 1) : found.getUnion ({ x, y, 1, 1 });

        return found;
    }

    /** Ink that is close to a colour (anti-aliased edges of text count). */
    inline std::function<bool (juce::Colour)> near (juce::Colour colour, int tolerance = 60)
    {
        return [colour, tolerance] (juce::Colour c)
        {
            return std::abs (c.getRed() - colour.getRed()) + std::abs (c.getGreen() - colour.getGreen())
                 + std::abs (c.getBlue() - colour.getBlue()) <= tolerance;
        };
    }

    /** A mouse event on the tile at a point of its own (as the tile stood at the press). */
    inline juce::MouseEvent mouseEvent (juce::Component& tile, juce::Point<int> pressedAt, juce::Point<int> now,
                                        juce::ModifierKeys mods, bool dragged)
    {
        auto const time = juce::Time::getCurrentTime();
        return { juce::Desktop::getInstance().getMainMouseSource(), now.toFloat(), mods,
                 juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &tile, &tile,
                 time, pressedAt.toFloat(), time, 1, dragged };
    }

    /** Presses on the tile, drags it by 'travel' in one move and (unless told
        not to) releases: the user's drag, in the tile's (virtual-desktop) pixels. */
    inline void dragTile (MachineComponent& tile, juce::Point<int> travel,
                          juce::ModifierKeys button = juce::ModifierKeys::leftButtonModifier, bool release = true)
    {
        juce::Point<int> const start (10, 10);
        tile.mouseDown (mouseEvent (tile, start, start, button, false));
        tile.mouseDrag (mouseEvent (tile, start, start + travel, button, true));

        if (release)
            tile.mouseUp (mouseEvent (tile, start, start + travel, {}, ! travel.isOrigin()));
    }
}
