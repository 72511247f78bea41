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

    /** What the tile writes: with one monitor its address ("IP: ... Port: ...")
        and its size ("1920x1080 px"); with several, each monitor's number and
        size ("#0: 1920x1080"), in order; nothing without monitors. */
    juce::StringArray getTexts() const;

    const juce::String ip;
    const juce::String os;
    const int port;
    const int id;
    const bool isLocal;

    /** Keeps a dragged tile inside the content and out of the other tiles of
        its view: a proposed place that overlaps a tile is pushed out of it
        along the axis that needs the shorter push (vertically on a tie). On
        an axis where both start at the same edge, the push is the shorter
        way out on that axis (forward on a tie). */
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
    /** The logo drawn on the tile, or null for a system without one. */
    juce::Drawable* getLogo() const noexcept;

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
