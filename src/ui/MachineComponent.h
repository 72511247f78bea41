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
    class DragConstrainer;

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

    // The rest is the owner's (displays, area, dragger, logos, constrainer).

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MachineComponent)
};
