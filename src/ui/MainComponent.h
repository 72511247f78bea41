#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

class ClientIPC;
class MachineComponent;

/** The layout view: the cluster's virtual desktop drawn to scale, one tile
    (MachineComponent) per known machine, a bottom bar with the "Details"
    toggle, and the details page of status texts.

    It is also the geometry of input routing: getIDOfMachineAt answers which
    machine lies under a point of the virtual desktop, from a snapshot of the
    tiles' bounds, on any thread, without waiting for the message thread.

    Component work runs on the message thread. The operations marked "any
    thread" store a value and post one repaint (repaints asked for while one
    is pending are coalesced into it) or post their whole work. */
class MainComponent : public juce::Component,
                      public juce::ComponentListener,
                      public juce::Button::Listener
{
public:
    /** The client whose jumpTo the tiles' pop-up calls, and on whose control
        connection a dragged tile reports its new place. Not owned. */
    explicit MainComponent (ClientIPC* clientIPC);
    ~MainComponent() override;

    //==============================================================================
    // The machines (message thread unless said otherwise)

    /** Builds the tile at once and posts its insertion into the content. */
    void addMachine (juce::String const& ip, juce::String const& os, int port, int id,
                     juce::RectangleList<int>& monitors, juce::Rectangle<int>& area, bool isLocal);

    /** Any thread: posts the removal of the first tile with this ip, port and id. */
    void removeMachine (juce::String const& ip, int port, int id);

    /** Posts the removal of every tile made so far; a tile made after the
        call stays. */
    void clearMachines();

    /** Any thread: posts the content's new size, which rescales the view. */
    void resizeContentComponent (int width, int height);

    /** Places the first tile with this id (logs when it moves). */
    void moveMachineComponent (int id, int x, int y);

    /** Gives the first tile with this id a new size, keeping its place; returns
        its new bounds, or none when no tile has that id. */
    std::optional<juce::Rectangle<int>> resizeMachineComponent (int id, int width, int height);

    /** Any thread: the id of the last-created tile containing the point of the
        virtual desktop, -1 for none. */
    int getIDOfMachineAt (int x, int y) const;

    //==============================================================================
    // Status (any thread)

    void updateVirtualMonitorPosition (juce::Point<double> const& p);
    void setStreamingDebugText (juce::String const& line);
    void setDebugText (juce::String const& text);
    void setIAmServer (bool isServer);
    void setReceivingOS (juce::String const& os);
    void setActiveID (int id);
    void setKeyboardThreadRunning (bool running);
    void setListeningPort (int port);
    void setPassEvents (bool pass);
    void setReceivingFlags (int flags);
    void setBackgroundColour (juce::Colour colour);

    /** Posts one repaint of the whole view (coalesced). */
    void postRepaint();

    ClientIPC* getClientIPC() const noexcept { return clientIPC; }

    //==============================================================================
    void paint (juce::Graphics&) override;
    void paintOverChildren (juce::Graphics&) override;
    void resized() override;
    void componentMovedOrResized (juce::Component&, bool wasMoved, bool wasResized) override;
    void buttonClicked (juce::Button*) override;

    //==============================================================================
    // Read by tests and by the tiles (message thread).

    /** The tiles, in creation order. */
    juce::Array<MachineComponent*> getMachineComponents() const;

    /** The first tile with this id, or null. */
    MachineComponent* findMachineComponent (int id) const;

    juce::Component& getContentComponent() noexcept { return contentComponent; }
    juce::TextButton& getDetailsButton() noexcept   { return detailsButton; }
    juce::TextButton& getQuitButton() noexcept      { return quitButton; }
    bool isShowingDetails() const noexcept          { return showDetails; }

    /** Shows a "Quit" button in the bottom bar, left of the details toggle,
        that runs 'quit'; an empty function hides it (as at first). Message thread. */
    void setQuitAction (std::function<void()> quit);

    /** The virtual cursor's marker, in view coordinates. */
    juce::Point<double> getVirtualPointerPosition() const;

    juce::StringArray getStreamingDebugLines() const;

    /** The status texts of the details page, top to bottom. Any thread. */
    juce::StringArray getStatusTexts() const;

    static constexpr int layoutWidth = 800;
    static constexpr int bottomBarHeight = 50;

    /** The view's bounds whatever the content: the layout is at most
        maxLayoutHeight tall, and the view at least minimumWidth wide, so that
        the bottom bar's buttons stay in it. */
    static constexpr int maxLayoutHeight = 600;
    static constexpr int minimumWidth = 4 * bottomBarHeight;

private:
    struct TileBounds
    {
        int id;
        juce::Rectangle<int> bounds;
    };

    void rescaleToContent();
    void refreshTileSnapshot();
    void repaintPointerMarker();
    juce::Rectangle<int> pointerMarkerArea() const;

    juce::String debugText;                        // viewLock
    juce::String receivingOS;                      // stateLock
    juce::StringArray streamingDebugLines;         // viewLock
    juce::OwnedArray<MachineComponent> machineComponents;
    juce::AffineTransform contentTransform;
    juce::Component contentComponent;
    std::atomic<juce::uint32> backgroundColour { juce::Colours::darkgrey.getARGB() };
    juce::CriticalSection viewLock;
    juce::TextButton detailsButton;
    juce::TextButton quitButton;
    std::atomic<bool> keyboardThreadRunning { false };
    std::atomic<bool> passEvents { true };
    bool showDetails = false;
    std::atomic<int> activeID { -1 };
    std::atomic<int> listeningPort { -1 };
    std::atomic<int> receivingFlags { 256 };
    std::atomic<bool> iAmServer { false };
    ClientIPC* const clientIPC;
    juce::Point<double> virtualPointerPosition;    // stateLock

    // A small lock of its own, never held while anything else is taken or
    // waited for (paint takes it last, under viewLock): the tiles' ids and
    // bounds as getIDOfMachineAt sees them, the content's scale for the
    // marker, the marker and the receiving system.
    mutable std::mutex stateLock;
    std::vector<TileBounds> tileSnapshot;          // stateLock
    float contentScale = 1.0f;                     // stateLock

    std::atomic<int> viewHeight { 0 };             // for the streaming list's length
    std::atomic<bool> repaintPending { false };
    std::atomic<bool> markerRepaintPending { false };
    juce::Rectangle<int> markerShown;              // message thread: where the marker was last drawn
    juce::Component::SafePointer<MainComponent> self { this };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainComponent)
};
