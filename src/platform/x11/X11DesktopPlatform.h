#pragma once

#include "platform/DesktopPlatform.h"
#include "platform/memory/MemoryPasteboard.h"
#include "platform/x11/X11Pasteboard.h"
#include "platform/x11/X11QueuedEventWake.h"
#include "platform/x11/X11StatusItem.h"

/** The desktop services on an X11 desktop: the CLIPBOARD selection as the
    general pasteboard, a drag pasteboard in memory, the status item in the
    system tray, the quit request through JUCE, and the trust check, which
    asks whether the display offers what capturing and posting input needs.
    While it lives, X events that wait unseen on JUCE's display wake JUCE's
    loop (X11QueuedEventWake).

    Construct and destroy on the message thread, after JUCE's GUI support is up.
*/
class X11DesktopPlatform : public DesktopPlatform
{
public:
    X11DesktopPlatform();
    ~X11DesktopPlatform() override;

    X11Pasteboard& getGeneralPasteboard() override { return general; }
    MemoryPasteboard& getDragPasteboard() override { return drag; }
    X11StatusItem& getStatusItem() override        { return statusItem; }

    /** Posts, to the message thread, the running application's
        systemRequestedQuit(); without an application, stops the message loop. */
    void requestQuit() override;

    /** Trusted when the display ($DISPLAY) offers everything the input
        platform and its taps need (X11Connection::findMissingInputSupport):
        XTEST, XInput 2.2 or later with raw events on the root window, XKB and
        a keymap. There is no system prompt on X11: with the prompt, an
        untrusted answer logs what is missing. */
    bool isTrusted (bool prompt) override;

private:
    X11QueuedEventWake queuedEventWake;
    X11Pasteboard general;
    MemoryPasteboard drag;
    X11StatusItem statusItem;
};
