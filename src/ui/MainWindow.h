#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

class MainComponent;

/** The main window: shows the layout view, which it borrows, and follows its
    size. The close button calls back the application, which forgets and
    deletes the window; the view and the program go on.

    The setters may be called from any thread while the window exists; they
    write the view's fields and post a repaint. */
class MainWindow : public juce::DocumentWindow
{
public:
    MainWindow (juce::String const& name, MainComponent* view, std::function<void()> onCloseButton);
    ~MainWindow() override;

    void closeButtonPressed() override;

    void setDebugText (juce::String const& text);
    void setStreamingDebugText (juce::String const& line);
    void setReceivedFlags (int flags);

    MainComponent* getView() const noexcept { return view; }

private:
    MainComponent* const view;
    std::function<void()> onClose;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MainWindow)
};
