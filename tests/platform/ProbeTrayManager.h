#pragma once

#include <juce_graphics/juce_graphics.h>

#include <memory>
#include <vector>

/** A minimal freedesktop system tray for tests, on an X connection of its own:
    it owns _NET_SYSTEM_TRAY_S0, shows a strip at the top right of the screen,
    and docks (reparents, sizes and maps) every window that asks to be docked. */
class ProbeTrayManager
{
public:
    /** Size of the icon slots. */
    static constexpr int slotSize = 24;

    ProbeTrayManager();
    ~ProbeTrayManager();

    /** False when it could not take the tray selection. */
    bool isRunning() const;

    /** The windows that asked to be docked, in order (a window asking twice
        is listed twice). */
    std::vector<unsigned long> getDockRequests() const;

    /** The screen position of the centre of the n-th docked icon. */
    juce::Point<int> getSlotCentre (int index) const;

private:
    class Worker;
    std::unique_ptr<Worker> worker;
};
