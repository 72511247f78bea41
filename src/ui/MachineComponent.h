#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

class MainComponent;

/** One machine of the cluster as a tile of the layout view: at the machine's
    place on the virtual desktop, as large as its desktop, showing its
    monitors, its address or monitor sizes and its system's logo. Dragging it
    moves the machine (no overlap while dragging, a snap to the neighbours'
    edges on release, the new place to the registry and the server); a right
    click offers "Jump to this desktop". Message thread only. */
class MachineComponent : public juce::Component
{
public:
    MachineComponent (juce::String const& ip, juce::String const& os, int port, int id,
                      juce::RectangleList<int> const& monitors, juce::Rectangle<int> const& area,
                      bool isLocal, MainComponent* owner);
    ~MachineComponent() override;

    void mouseDown (juce::MouseEvent const&) override;
    void mouseDrag (juce::MouseEvent const&) override;
    void mouseUp (juce::MouseEvent const&) override;
    void paint (juce::Graphics&) override;
    void resized() override;

    const juce::String ip;
    const juce::String os;
    const int port;
    const int id;
    const bool isLocal;

    /** The machine's monitors, in its own desktop's coordinates. */
    juce::RectangleList<int> const& getDisplays() const noexcept { return displays; }

    /** The tile's bounds as of its last move or resize. */
    juce::Rectangle<int> getArea() const noexcept { return area; }

    /** The logo drawn on the tile, or null for a system without one. */
    juce::Drawable* getLogo() const noexcept;

    /** Keeps a dragged tile out of the other tiles of its view: a proposed
        place that overlaps a tile is pushed out of it along the axis that
        needs the shorter push. */
    class DragConstrainer : public juce::ComponentBoundsConstrainer
    {
    public:
        DragConstrainer (MainComponent* owner, MachineComponent* tile);
        ~DragConstrainer() override;

        void checkBounds (juce::Rectangle<int>& bounds, juce::Rectangle<int> const& previousBounds,
                          juce::Rectangle<int> const& limits, bool isStretchingTop, bool isStretchingLeft,
                          bool isStretchingBottom, bool isStretchingRight) override;

        MainComponent* const owner;
        MachineComponent* const tile;
    };

private:
    /** Where this tile, dropped where it stands, ends among the other tiles:
        toward contact with the nearest edge within 100 pixels on each axis,
        stopping one pixel short. */
    juce::Rectangle<int> snappedBounds() const;
    void jumpMenuClosed (int result);

    juce::RectangleList<int> displays;
    juce::Rectangle<int> area;
    juce::ComponentDragger dragger;
    MainComponent* const owner;
    std::unique_ptr<juce::Drawable> macLogo;
    std::unique_ptr<juce::Drawable> winLogo;
    std::unique_ptr<DragConstrainer> constrainer;


    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MachineComponent)
};
