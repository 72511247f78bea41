#include "ui/MainWindow.h"

#include "ui/MainComponent.h"

MainWindow::MainWindow (juce::String const& name, MainComponent* viewToShow, std::function<void()> onCloseButton)
    : juce::DocumentWindow (name,
                            juce::Desktop::getInstance().getDefaultLookAndFeel()
                                .findColour (juce::ResizableWindow::backgroundColourId),
                            juce::DocumentWindow::allButtons),
      view (viewToShow),
      onClose (std::move (onCloseButton))
{
    setUsingNativeTitleBar (true);

    // The window borrows the view and follows its size; the view outlives it.
    if (view != nullptr)
        setContentNonOwned (view, true);

    setResizable (true, true);
    centreWithSize (getWidth(), getHeight());
    setVisible (true);
    toFront (false);
}

MainWindow::~MainWindow()
{
    clearContentComponent();
}

void MainWindow::closeButtonPressed()
{
    // The application forgets the window and deletes it; nothing may touch
    // this object after the call.
    if (onClose)
        onClose();
}

void MainWindow::setDebugText (juce::String const& text)
{
    if (view != nullptr)
        view->setDebugText (text);
}

void MainWindow::setStreamingDebugText (juce::String const& line)
{
    if (view != nullptr)
        view->setStreamingDebugText (line);
}

void MainWindow::setReceivedFlags (int newFlags)
{
    if (view != nullptr)
        view->setReceivingFlags (newFlags);
}
