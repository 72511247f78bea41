#include "ui/MachineComponent.h"

#include "core/Logging.h"
#include "ipc/ClientIPC.h"
#include "ipc/ControlProtocol.h"
#include "ui/MainComponent.h"

#include <BinaryData.h>

#include <cstdlib>

namespace
{
constexpr int snapReach = 100;
constexpr float cornerRadius = 5.0f;

std::unique_ptr<juce::Drawable> createLogo (const char* data, int size)
{
    return juce::Drawable::createFromImageData (data, (size_t) size);
}

/** How far a span [start, start + length) must move along one axis to leave
    the span [otherStart, otherStart + otherLength) it overlaps: out past the
    other's far edge when it starts after it, past its near edge when it
    starts before it. When both start together either way could serve: the
    shorter one is taken, forward on a tie. */
int pushOutOf (int start, int length, int otherStart, int otherLength)
{
    auto const forward = otherStart + otherLength - start;
    auto const backward = otherStart - (start + length);

    if (otherStart < start)
        return forward;

    if (otherStart > start)
        return backward;

    return std::abs (backward) < std::abs (forward) ? backward : forward;
}

/** Of two moves, the one with the smaller size; 'onTie' when they are equally long. */
int shorterOf (int a, int b, int onTie)
{
    if (std::abs (a) == std::abs (b))
        return onTie;

    return std::abs (a) < std::abs (b) ? a : b;
}

/** A snapping distance shortened by one pixel toward zero (0 becomes -1),
    and zero when the result is out of reach. */
int shortenedSnap (int distance)
{
    auto const shortened = distance >= 0 ? distance - 1 : distance + 1;
    return std::abs (shortened) < snapReach ? shortened : 0;
}
} // namespace

//==============================================================================
MachineComponent::MachineComponent (juce::String const& ipToUse, juce::String const& osToUse, int portToUse, int idToUse,
                                    juce::RectangleList<int> const& monitors, juce::Rectangle<int> const& areaToUse,
                                    bool isLocalMachine, MainComponent* ownerToUse)
    : ip (ipToUse), os (osToUse), port (portToUse), id (idToUse), isLocal (isLocalMachine),
      displays (monitors), area (areaToUse), owner (ownerToUse)
{
    if (os == "MAC")
    {
        macLogo = createLogo (BinaryData::mac_logo_svg, BinaryData::mac_logo_svgSize);

        if (macLogo != nullptr)
            macLogo->replaceColour (juce::Colours::black, juce::Colours::grey);
    }
    else if (os == "WIN")
    {
        winLogo = createLogo (BinaryData::win_logo_svg, BinaryData::win_logo_svgSize);
    }

    setBounds (0, 0, areaToUse.getWidth(), areaToUse.getHeight());
    constrainer = std::make_unique<DragConstrainer> (owner, this);
}

MachineComponent::~MachineComponent()
{
    constrainer.reset();
    winLogo.reset();
    macLogo.reset();
}

juce::Drawable* MachineComponent::getLogo() const noexcept
{
    if (os == "WIN")
        return winLogo.get();

    if (os == "MAC")
        return macLogo.get();

    return nullptr;
}

//==============================================================================
void MachineComponent::paint (juce::Graphics& g)
{
    auto const w = getWidth();
    auto const h = getHeight();

    g.fillAll (juce::Colours::black);
    g.setFont ((float) (h * 0.1));

    auto const fill = isLocal ? juce::Colours::lightgreen : juce::Colours::darkgreen;

    if (displays.getNumRectangles() == 1)
    {
        auto const m = (int) (w * 0.005);
        auto const textHeight = (int) (h * 0.1) + m;

        g.setColour (fill);
        g.fillRoundedRectangle (juce::Rectangle<int> (m, m, w - 2 * m, h - 2 * m).toFloat(), cornerRadius);

        auto const texts = getTexts();
        g.setColour (juce::Colours::black);
        g.drawText (texts[0], m, m, w - 2 * m, textHeight, juce::Justification::centred, true);
        g.drawText (texts[1], 0, (int) (h * 0.9 - m), w, textHeight, juce::Justification::centred, true);
    }
    else if (displays.getNumRectangles() > 1)
    {
        int minX = 10000, minY = 10000;

        for (auto const& r : displays)
        {
            minX = juce::jmin (minX, r.getX());
            minY = juce::jmin (minY, r.getY());
        }

        auto const texts = getTexts();
        int i = 0;

        for (auto const& r : displays)
        {
            auto const box = r.translated (-minX, -minY);

            g.setColour (fill);
            g.fillRoundedRectangle (box.toFloat(), cornerRadius);

            g.setColour (juce::Colours::lightgrey);
            g.drawText (texts[i++], box, juce::Justification::centred, true);
        }
    }

    if (auto* logo = getLogo(); logo != nullptr && w > 0 && h > 0)
        logo->drawWithin (g, { (float) w * 0.25f, (float) h * 0.25f, (float) w * 0.5f, (float) h * 0.5f },
                          juce::RectanglePlacement::centred, 1.0f);
}

juce::StringArray MachineComponent::getTexts() const
{
    if (displays.getNumRectangles() == 1)
        return { "IP: " + ip + " Port: " + juce::String (port),
                 juce::String (area.getWidth()) + "x" + juce::String (area.getHeight()) + " px" };

    juce::StringArray texts;
    int i = 0;

    for (auto const& r : displays)
        texts.add ("#" + juce::String (i++) + ": " + juce::String (r.getWidth()) + "x" + juce::String (r.getHeight()));

    return texts;
}

void MachineComponent::resized()
{
    area = getBounds();
}

//==============================================================================
void MachineComponent::mouseDown (juce::MouseEvent const& e)
{
    if (e.mods.isRightButtonDown() || e.mods.isCtrlDown())
    {
        juce::PopupMenu menu;
        menu.addItem (1, "Jump to this desktop");
        menu.showMenuAsync (juce::PopupMenu::Options(),
                            [safeTile = juce::Component::SafePointer<MachineComponent> (this)] (int result)
                            {
                                // The tile may be gone by the time the user picks.
                                if (safeTile != nullptr)
                                    safeTile->jumpMenuClosed (result);
                            });
    }

    dragger.startDraggingComponent (this, e);
}

void MachineComponent::jumpMenuClosed (int result)
{
    if (result == 1 && owner != nullptr && owner->getClientIPC() != nullptr)
        owner->getClientIPC()->jumpTo (id);
}

void MachineComponent::mouseDrag (juce::MouseEvent const& e)
{
    dragger.dragComponent (this, e, constrainer.get());
}

void MachineComponent::mouseUp (juce::MouseEvent const& e)
{
    if (! e.mouseWasDraggedSinceMouseDown())
        return;

    if (owner != nullptr && owner->getMachineComponents().size() > 1)
        setBounds (snappedBounds());

    auto const x = getX(), y = getY();
    DBGOrLog ("MainComponent update machine pos after drag " + juce::String (id) + " " + juce::String (x) + " " + juce::String (y));

    auto* client = owner != nullptr ? owner->getClientIPC() : nullptr;

    if (client != nullptr)
        client->updateMachinePosition (id, x, y, false);

    auto const message = ControlProtocol::machineMoved (id, x, y);
    DBGOrLog ("Client sendMachineMovedMessage " + message);

    if (client != nullptr)
        ControlProtocol::sendText (*client, message);
}

juce::Rectangle<int> MachineComponent::snappedBounds() const
{
    auto const bounds = getBounds();
    int dx = 1000, dy = 1000;

    for (auto* other : owner->getMachineComponents())
    {
        if (other == this)
            continue;

        auto const t = other->getBounds();
        auto const cx = shorterOf (t.getRight() - bounds.getX(), t.getX() - bounds.getRight(), t.getX() - bounds.getRight());
        auto const cy = shorterOf (t.getY() - bounds.getBottom(), t.getBottom() - bounds.getY(), t.getBottom() - bounds.getY());

        // Strictly nearer only: on a tie the tile met first keeps the axis.
        if (std::abs (cx) < std::abs (dx))
            dx = cx;

        if (std::abs (cy) < std::abs (dy))
            dy = cy;
    }

    return bounds.translated (shortenedSnap (dx), shortenedSnap (dy));
}

//==============================================================================
MachineComponent::DragConstrainer::DragConstrainer (MainComponent* ownerToUse, MachineComponent* tileToUse)
    : owner (ownerToUse), tile (tileToUse)
{
    // The base's own size limits (0 to 0x3fffffff, no aspect ratio) stay; the
    // on-screen amounts keep a tile that fits wholly inside its parent.
    setMinimumOnscreenAmounts (0xffff, 0xffff, 0xffff, 0xffff);
}

MachineComponent::DragConstrainer::~DragConstrainer() = default;

void MachineComponent::DragConstrainer::checkBounds (juce::Rectangle<int>& bounds, juce::Rectangle<int> const& previousBounds,
                                                     juce::Rectangle<int> const& limits, bool isStretchingTop,
                                                     bool isStretchingLeft, bool isStretchingBottom, bool isStretchingRight)
{
    juce::ComponentBoundsConstrainer::checkBounds (bounds, previousBounds, limits, isStretchingTop, isStretchingLeft,
                                                   isStretchingBottom, isStretchingRight);

    if (owner == nullptr)
        return;

    // One pass in creation order; each push applies at once, so later tiles
    // see the pushed place. Earlier tiles are not visited again.
    for (auto* other : owner->getMachineComponents())
    {
        if (other == tile)
            continue;

        auto const t = other->getBounds();
        auto const overlap = bounds.getIntersection (t);

        if (overlap.getWidth() <= 0 || overlap.getHeight() <= 0)
            continue;

        auto const dx = pushOutOf (bounds.getX(), bounds.getWidth(), t.getX(), t.getWidth());
        auto const dy = pushOutOf (bounds.getY(), bounds.getHeight(), t.getY(), t.getHeight());

        if (std::abs (dx) < std::abs (dy))
            bounds.translate (dx, 0);
        else
            bounds.translate (0, dy);
    }
}
