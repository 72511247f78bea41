#pragma once

#include "input/InputHost.h"

#include <functional>
#include <mutex>
#include <vector>

/** The application as input sharing sees it, for tests: every value is set
    by the test, every call is recorded as one line ("prepareLocalAndRemote 7
    false", "sendToServer Mode change idle ID: 7", ...), and the machines of
    the view are plain rectangles of the virtual desktop. The control
    operations only record and update the state a real application would
    (active machine, current input), so a test reads what input sharing
    decided. Thread-safe. */
class FakeInputHost : public InputHost
{
public:
    //==============================================================================
    // What the test sets
    void setOwnID (int id)                                    { const std::lock_guard<std::mutex> sl (lock); ownID = id; }
    void setCurrentInputID (int id)                           { const std::lock_guard<std::mutex> sl (lock); currentInputID = id; }
    void setNumMachines (int n)                               { const std::lock_guard<std::mutex> sl (lock); numMachines = n; }
    void setOwnArea (std::optional<juce::Rectangle<int>> a)   { const std::lock_guard<std::mutex> sl (lock); ownArea = a; }
    void setOwnDesktop (juce::Rectangle<int> d)               { const std::lock_guard<std::mutex> sl (lock); ownDesktop = d; }
    void setWarpPoint (juce::Point<double> p)                 { const std::lock_guard<std::mutex> sl (lock); warpPoint = p; }

    /** What else prepareLocalAndRemote and takeBackControl do, as the
        application would (switching the SocketThread); called after the call
        is recorded, without the fake's lock. */
    void onPrepareLocalAndRemote (std::function<void (int id)> f) { const std::lock_guard<std::mutex> sl (lock); prepareHook = std::move (f); }
    void onTakeBackControl (std::function<void()> f)              { const std::lock_guard<std::mutex> sl (lock); takeBackHook = std::move (f); }

    /** A machine's tile on the virtual desktop; later tiles win where they overlap. */
    void addTile (int id, juce::Rectangle<int> bounds)        { const std::lock_guard<std::mutex> sl (lock); tiles.push_back ({ id, bounds }); }

    //==============================================================================
    // What the test reads
    std::vector<juce::String> getCalls() const                { const std::lock_guard<std::mutex> sl (lock); return calls; }
    void clearCalls()                                         { const std::lock_guard<std::mutex> sl (lock); calls.clear(); }
    juce::String getClipboardText() const                     { const std::lock_guard<std::mutex> sl (lock); return clipboardText; }
    juce::Point<double> getShownVirtualCursor() const         { const std::lock_guard<std::mutex> sl (lock); return shownVirtualCursor; }
    juce::StringArray getStreamingLines() const               { const std::lock_guard<std::mutex> sl (lock); return streamingLines; }
    juce::String getDebugText() const                         { const std::lock_guard<std::mutex> sl (lock); return debugText; }
    int getReceivedFlags() const                              { const std::lock_guard<std::mutex> sl (lock); return receivedFlags; }
    int getIdleCount() const                                  { const std::lock_guard<std::mutex> sl (lock); return idleCount; }
    bool messageLoopStopped() const                           { const std::lock_guard<std::mutex> sl (lock); return stopped; }

    //==============================================================================
    // InputHost
    int getOwnID() const override                             { const std::lock_guard<std::mutex> sl (lock); return ownID; }
    int getActiveMonitorID() const override                   { const std::lock_guard<std::mutex> sl (lock); return activeID; }
    void setActiveMonitorID (int id) override                 { const std::lock_guard<std::mutex> sl (lock); activeID = id; }
    int getCurrentInputID() const override                    { const std::lock_guard<std::mutex> sl (lock); return currentInputID; }
    int getNumMachines() const override                       { const std::lock_guard<std::mutex> sl (lock); return numMachines; }
    std::optional<juce::Rectangle<int>> getOwnArea() const override { const std::lock_guard<std::mutex> sl (lock); return ownArea; }
    juce::Rectangle<int> getOwnDesktop() const override       { const std::lock_guard<std::mutex> sl (lock); return ownDesktop; }
    juce::Point<double> getWarpPoint() const override         { const std::lock_guard<std::mutex> sl (lock); return warpPoint; }

    int getIDOfMachineAt (int x, int y) const override
    {
        const std::lock_guard<std::mutex> sl (lock);
        int result = -1;

        for (auto const& tile : tiles)
            if (tile.bounds.contains (x, y))
                result = tile.id;

        return result;
    }

    juce::Point<double> getLocalCursor() const override       { const std::lock_guard<std::mutex> sl (lock); return localCursor; }
    void setLocalCursor (juce::Point<double> p) override      { const std::lock_guard<std::mutex> sl (lock); localCursor = p; }
    juce::Point<double> getVirtualCursor() const override     { const std::lock_guard<std::mutex> sl (lock); return virtualCursor; }
    void setVirtualCursor (juce::Point<double> p) override    { const std::lock_guard<std::mutex> sl (lock); virtualCursor = p; }

    void inputReceived() override
    {
        const std::lock_guard<std::mutex> sl (lock);

        if (currentInputID == ownID)
            return;

        currentInputID = ownID;
        calls.push_back ("sendToServer Current input ID: " + juce::String (ownID));
    }

    void prepareLocalAndRemote (int id, bool requestMiddle) override
    {
        std::function<void (int)> hook;
        {
            const std::lock_guard<std::mutex> sl (lock);
            activeID = id;
            calls.push_back ("prepareLocalAndRemote " + juce::String (id) + (requestMiddle ? " true" : " false"));
            hook = prepareHook;
        }

        if (hook)
            hook (id);
    }

    void takeBackControl() override
    {
        std::function<void()> hook;
        {
            const std::lock_guard<std::mutex> sl (lock);
            activeID = ownID;
            calls.push_back ("takeBackControl");
            hook = takeBackHook;
        }

        if (hook)
            hook();
    }

    void requestClipboardFromTo (int fromID, int toID) override
    {
        record ("requestClipboardFromTo " + juce::String (fromID) + " " + juce::String (toID));
    }

    void sendToServer (juce::String const& text) override     { record ("sendToServer " + text); }
    juce::CriticalSection& getControlLock() override          { return controlLock; }
    void stopMessageLoop() override                           { const std::lock_guard<std::mutex> sl (lock); stopped = true; calls.push_back ("stopMessageLoop"); }

    void updateVirtualMonitorPosition (juce::Point<double> p) override { const std::lock_guard<std::mutex> sl (lock); shownVirtualCursor = p; }
    void showDebugText (juce::String const& text) override    { const std::lock_guard<std::mutex> sl (lock); debugText = text; }
    void showStreamingDebugText (juce::String const& line) override { const std::lock_guard<std::mutex> sl (lock); streamingLines.add (line); }
    void showReceivedFlags (int flags) override               { const std::lock_guard<std::mutex> sl (lock); receivedFlags = flags; }
    void showIdle() override                                  { const std::lock_guard<std::mutex> sl (lock); ++idleCount; }
    void setClipboardText (juce::String const& text) override { const std::lock_guard<std::mutex> sl (lock); clipboardText = text; }

private:
    void record (juce::String const& call)                    { const std::lock_guard<std::mutex> sl (lock); calls.push_back (call); }

    struct Tile { int id; juce::Rectangle<int> bounds; };

    mutable std::mutex lock;
    juce::CriticalSection controlLock;

    int ownID = 1, activeID = 1, currentInputID = -1, numMachines = 1;
    std::optional<juce::Rectangle<int>> ownArea;
    juce::Rectangle<int> ownDesktop { 0, 0, 1920, 1080 };
    juce::Point<double> warpPoint { 960.0, 540.0 };
    std::vector<Tile> tiles;
    std::function<void (int)> prepareHook;
    std::function<void()> takeBackHook;
    juce::Point<double> localCursor, virtualCursor, shownVirtualCursor;

    std::vector<juce::String> calls;
    juce::String clipboardText, debugText;
    juce::StringArray streamingLines;
    int receivedFlags = 0, idleCount = 0;
    bool stopped = false;
};
