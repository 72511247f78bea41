#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <juce_gui_basics/juce_gui_basics.h>

#include "platform/x11/X11QueuedEventWake.h"

namespace juce
{
// JUCE's window for its own messages on its display: events to it are read
// and dropped by its loop.
extern ::Window juce_messageWindowHandle;
}

X11QueuedEventWake::X11QueuedEventWake()
{
    startTimer (intervalMs);
}

X11QueuedEventWake::~X11QueuedEventWake()
{
    stopTimer();
}

void X11QueuedEventWake::timerCallback()
{
    auto* windowSystem = juce::XWindowSystem::getInstanceWithoutCreating();
    auto* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;

    if (display == nullptr || juce::juce_messageWindowHandle == 0)
        return;

    auto* x = juce::X11Symbols::getInstance();
    juce::XWindowSystemUtilities::ScopedXLock xLock;

    if (x->xEventsQueued (display, QueuedAlready) == 0)
        return;

    XEvent wake {};
    wake.xclient.type = ClientMessage;
    wake.xclient.display = display;
    wake.xclient.window = juce::juce_messageWindowHandle;
    wake.xclient.format = 32;
    x->xSendEvent (display, juce::juce_messageWindowHandle, False, NoEventMask, &wake);
    x->xFlush (display);
}
