#include "ui/MainComponent.h"

#include "core/Logging.h"
#include "ui/MachineComponent.h"

namespace
{
constexpr const char* contentName = "contentComponent";

// The status texts of the details page, one per line of the left column.
constexpr int statusBoxHeight = 12;
constexpr int statusLineSpacing = 20;
constexpr int streamingLineSpacing = 14;
constexpr int firstBoxY = 12;
} // namespace

MainComponent::MainComponent (ClientIPC* clientIPCToUse)
    : clientIPC (clientIPCToUse)
{
    contentComponent.setBounds (0, 0, 800, 550);
    contentComponent.addComponentListener (this);
    contentComponent.setName (contentName);
    contentComponent.setVisible (true);
    addAndMakeVisible (contentComponent);

    detailsButton.setButtonText ("Details");
    detailsButton.setClickingTogglesState (true);
    detailsButton.addListener (this);
    addAndMakeVisible (detailsButton);

    quitButton.setButtonText ("Quit");
    addChildComponent (quitButton);

    setSize (layoutWidth, layoutWidth * 3 / 4);
}

MainComponent::~MainComponent()
{
    contentComponent.removeComponentListener (this);
    detailsButton.removeListener (this);

    for (auto* tile : machineComponents)
        tile->removeComponentListener (this);

    contentComponent.removeAllChildren();
    machineComponents.clear();
}

//==============================================================================
void MainComponent::addMachine (juce::String const& ip, juce::String const& os, int port, int id,
                                juce::RectangleList<int>& monitors, juce::Rectangle<int>& area, bool isLocal)
{
    JUCE_ASSERT_MESSAGE_THREAD

    auto* tile = new MachineComponent (ip, os, port, id, monitors, area, isLocal, this);
    tile->addComponentListener (this);
    machineComponents.add (tile);
    refreshTileSnapshot();

    // Work posted before this insertion (a removal, a clearing) may delete the
    // tile before the insertion runs: then there is nothing to insert.
    juce::Component::SafePointer<MachineComponent> safeTile (tile);
    juce::MessageManager::callAsync ([view = self, safeTile]
    {
        if (view != nullptr && safeTile != nullptr)
        {
            safeTile->setVisible (true);
            view->contentComponent.addChildComponent (safeTile.getComponent());
        }
    });
}

void MainComponent::removeMachine (juce::String const& ip, int port, int id)
{
    juce::MessageManager::callAsync ([view = self, ip, port, id]
    {
        if (view == nullptr)
            return;

        for (auto* tile : view->machineComponents)
        {
            if (tile->ip == ip && tile->port == port && tile->id == id)
            {
                view->contentComponent.removeChildComponent (tile);
                view->machineComponents.removeObject (tile);
                view->refreshTileSnapshot();
                return;
            }
        }
    });
}

void MainComponent::clearMachines()
{
    JUCE_ASSERT_MESSAGE_THREAD

    // The tiles of now: a machine added between this call and the posted
    // work keeps its tile.
    juce::Array<juce::Component::SafePointer<MachineComponent>> tiles;

    for (auto* tile : machineComponents)
        tiles.add (tile);

    juce::MessageManager::callAsync ([view = self, tiles]
    {
        if (view == nullptr)
            return;

        for (auto const& tile : tiles)
            if (tile != nullptr)
                view->contentComponent.removeChildComponent (tile.getComponent());

        for (int i = tiles.size(); --i >= 0;)
            if (auto* tile = tiles[i].getComponent())
                view->machineComponents.removeObject (tile);

        view->machineComponents.minimiseStorageOverheads();
        view->refreshTileSnapshot();
    });
}

void MainComponent::resizeContentComponent (int width, int height)
{
    juce::MessageManager::callAsync ([view = self, width, height]
    {
        if (view != nullptr)
            view->contentComponent.setBounds (0, 0, width, height);
    });
}

void MainComponent::moveMachineComponent (int id, int x, int y)
{
    JUCE_ASSERT_MESSAGE_THREAD

    auto* tile = findMachineComponent (id);

    if (tile == nullptr || tile->getPosition() == juce::Point<int> (x, y))
        return;

    tile->setBounds (x, y, tile->getWidth(), tile->getHeight());
    DBGOrLog ("MainComp moveMachineComponent " + juce::String (id) + " " + juce::String (x) + " " + juce::String (y));
}

std::optional<juce::Rectangle<int>> MainComponent::resizeMachineComponent (int id, int width, int height)
{
    JUCE_ASSERT_MESSAGE_THREAD

    auto* tile = findMachineComponent (id);

    if (tile == nullptr)
        return std::nullopt;

    tile->setBounds (tile->getX(), tile->getY(), width, height);
    return tile->getBounds();
}

int MainComponent::getIDOfMachineAt (int x, int y) const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    int result = -1;

    // No early exit: where tiles overlap, the one created last wins.
    for (auto const& tile : tileSnapshot)
        if (tile.bounds.contains (x, y))
            result = tile.id;

    return result;
}

juce::Array<MachineComponent*> MainComponent::getMachineComponents() const
{
    juce::Array<MachineComponent*> tiles;

    for (auto* tile : machineComponents)
        tiles.add (tile);

    return tiles;
}

MachineComponent* MainComponent::findMachineComponent (int id) const
{
    for (auto* tile : machineComponents)
        if (tile->id == id)
            return tile;

    return nullptr;
}

void MainComponent::refreshTileSnapshot()
{
    std::vector<TileBounds> snapshot;
    snapshot.reserve ((size_t) machineComponents.size());

    for (auto* tile : machineComponents)
        snapshot.push_back ({ tile->id, tile->getBounds() });

    {
        const std::lock_guard<std::mutex> sl (stateLock);
        std::swap (tileSnapshot, snapshot);
    }
}

//==============================================================================
void MainComponent::updateVirtualMonitorPosition (juce::Point<double> const& p)
{
    {
        const std::lock_guard<std::mutex> sl (stateLock);
        virtualPointerPosition = p * (double) contentScale;
    }

    // One pending repaint of the marker at a time; it repaints where the
    // marker was drawn last as well as where it is now, so no old marker stays.
    if (! markerRepaintPending.exchange (true))
        juce::MessageManager::callAsync ([view = self]
        {
            if (view != nullptr)
            {
                view->markerRepaintPending = false;
                view->repaintPointerMarker();
            }
        });
}

juce::Point<double> MainComponent::getVirtualPointerPosition() const
{
    const std::lock_guard<std::mutex> sl (stateLock);
    return virtualPointerPosition;
}

juce::Rectangle<int> MainComponent::pointerMarkerArea() const
{
    auto p = getVirtualPointerPosition();
    return juce::Rectangle<int> ((int) (p.x - 20), (int) (p.y - 20), 40, 40).getIntersection (getLocalBounds());
}

void MainComponent::repaintPointerMarker()
{
    auto area = pointerMarkerArea();

    if (! markerShown.isEmpty())
        repaint (markerShown);

    if (! area.isEmpty())
        repaint (area);

    markerShown = area;
}

void MainComponent::setStreamingDebugText (juce::String const& line)
{
    const juce::ScopedLock sl (viewLock);
    streamingDebugLines.add (line);

    auto const maxLines = (viewHeight.load() - 24) / streamingLineSpacing;

    while (streamingDebugLines.size() > juce::jmax (maxLines, 0) && ! streamingDebugLines.isEmpty())
        streamingDebugLines.remove (0);

    postRepaint();
}

juce::StringArray MainComponent::getStreamingDebugLines() const
{
    const juce::ScopedLock sl (viewLock);
    return streamingDebugLines;
}

void MainComponent::setDebugText (juce::String const& text)
{
    {
        const juce::ScopedLock sl (viewLock);
        debugText = text;
    }

    postRepaint();
}

void MainComponent::setIAmServer (bool isServer)
{
    if (iAmServer.exchange (isServer) != isServer)
        postRepaint();
}

void MainComponent::setReceivingOS (juce::String const& os)
{
    {
        const std::lock_guard<std::mutex> sl (stateLock);
        receivingOS = os;
    }

    postRepaint();
}

void MainComponent::setActiveID (int id)                 { activeID = id; }
void MainComponent::setKeyboardThreadRunning (bool running) { keyboardThreadRunning = running; }
void MainComponent::setListeningPort (int port)          { listeningPort = port; }
void MainComponent::setPassEvents (bool pass)            { passEvents = pass; }
void MainComponent::setReceivingFlags (int newFlags)     { receivingFlags = newFlags; postRepaint(); }

void MainComponent::setBackgroundColour (juce::Colour colour)
{
    backgroundColour = colour.getARGB();
    postRepaint();
}

void MainComponent::postRepaint()
{
    if (! repaintPending.exchange (true))
        juce::MessageManager::callAsync ([view = self]
        {
            if (view != nullptr)
            {
                view->repaintPending = false;
                view->repaint();
            }
        });
}

//==============================================================================
void MainComponent::paint (juce::Graphics& g)
{
    const juce::ScopedLock sl (viewLock);
    auto const background = juce::Colour (backgroundColour.load());

    g.fillAll (background);

    if (showDetails)
    {
        auto const status = getStatusTexts();
        auto const columnWidth = getWidth() / 2;
        g.setColour (juce::Colours::white);

        for (int i = 0; i < status.size(); ++i)
            g.drawText (status[i], 0, firstBoxY + statusLineSpacing * i, columnWidth, statusBoxHeight,
                        juce::Justification::centred, true);

        for (int k = 0; k < streamingDebugLines.size(); ++k)
            g.drawText (streamingDebugLines[streamingDebugLines.size() - 1 - k], columnWidth,
                        firstBoxY + streamingLineSpacing * k, columnWidth, statusBoxHeight,
                        juce::Justification::centred, true);
    }
    else
    {
        g.setColour (background.darker (0.4f));
        g.fillRect (0, getHeight() - bottomBarHeight, getWidth(), bottomBarHeight);
    }
}

juce::StringArray MainComponent::getStatusTexts() const
{
    juce::String os;

    {
        const std::lock_guard<std::mutex> stateHeld (stateLock);
        os = receivingOS;
    }

    const juce::ScopedLock sl (viewLock);

    return { debugText,
             keyboardThreadRunning ? "KeyboardThread: running" : "KeyboardThread: inactive",
             "Listening at " + juce::String (listeningPort.load()),
             "Active ID: " + juce::String (activeID.load()),
             "Receiving flags: " + juce::String (receivingFlags.load()),
             passEvents ? "Pass events: yes" : "Pass events: no",
             iAmServer ? "Server: yes" : "Server: no",
             "Receiving OS: " + os };
}

void MainComponent::paintOverChildren (juce::Graphics& g)
{
    if (showDetails)
        return;

    auto const p = getVirtualPointerPosition();
    g.setColour (juce::Colours::red);
    g.drawText ("X", (int) (p.x - 10), (int) (p.y - 10), 20, 20, juce::Justification::centred, true);
}

void MainComponent::resized()
{
    viewHeight = getHeight();

    auto const width = (double) getWidth();
    auto const height = (double) getHeight();
    auto const bar = (double) bottomBarHeight;

    detailsButton.setBounds ((int) (width - 2.0 * bar), (int) (height - 0.75 * bar), (int) (1.5 * bar), (int) (bar / 2.0));
    quitButton.setBounds (detailsButton.getBounds().translated ((int) (-1.75 * bar), 0));
}

void MainComponent::setQuitAction (std::function<void()> quit)
{
    JUCE_ASSERT_MESSAGE_THREAD

    quitButton.setVisible (quit != nullptr);
    quitButton.onClick = std::move (quit);
}

void MainComponent::componentMovedOrResized (juce::Component& component, bool, bool wasResized)
{
    if (&component == &contentComponent)
    {
        if (wasResized)
            rescaleToContent();
    }
    else
    {
        // A tile moved or changed size: the hit test sees it from now on.
        refreshTileSnapshot();
    }
}

void MainComponent::rescaleToContent()
{
    DBGOrLog ("Recalc contentComp transform");

    // A content without width has no scale: the previous one stays.
    if (contentComponent.getWidth() <= 0)
        return;

    // Scaled to the layout's width, and no taller than its greatest height:
    // whatever size a peer announced, the view and its window stay as large
    // as a screen (a window hundreds of millions of pixels tall overflows the
    // size of its image).
    auto const scale = juce::jmin ((float) layoutWidth / (float) contentComponent.getWidth(),
                                   (float) maxLayoutHeight / (float) juce::jmax (1, contentComponent.getHeight()));
    contentTransform = juce::AffineTransform::scale (scale);
    contentComponent.setTransform (contentTransform);

    {
        const std::lock_guard<std::mutex> sl (stateLock);
        contentScale = scale;
    }

    auto const scaled = contentComponent.getBounds().transformedBy (contentTransform);
    setBounds (getX(), getY(), juce::jmax (scaled.getWidth(), minimumWidth), scaled.getHeight() + bottomBarHeight);
}

void MainComponent::buttonClicked (juce::Button* button)
{
    if (button != &detailsButton)
        return;

    showDetails = detailsButton.getToggleState();
    detailsButton.setButtonText (showDetails ? "Overview" : "Details");
    contentComponent.setVisible (! showDetails);
    repaint();
}
