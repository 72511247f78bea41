#pragma once

#include "platform/Pasteboard.h"
#include "platform/StatusItem.h"

/** The desktop services the application uses, other than input: the general
    and the drag pasteboard, the status item, the request to quit, and the
    check that the program may capture and post input.

    The program uses X11DesktopPlatform; tests use MemoryDesktopPlatform.
    The folders (AppFolders, AppTempFolder) and the notice of a second launch
    (SecondLaunchNotice) need no backend.
*/
class DesktopPlatform
{
public:
    virtual ~DesktopPlatform() = default;

    /** The clipboard that the user copies to and pastes from. */
    virtual Pasteboard& getGeneralPasteboard() = 0;

    /** The pasteboard of drags. Nothing on the desktop reads it: it keeps what
        is written to it in memory. */
    virtual Pasteboard& getDragPasteboard() = 0;

    /** The program's status item. */
    virtual StatusItem& getStatusItem() = 0;

    /** Asks the application to quit as if the desktop asked it: soon after,
        on the message thread, the running juce::JUCEApplication's
        systemRequestedQuit() runs. Callable from any thread. */
    virtual void requestQuit() = 0;

    /** True when the program may capture and post input. With prompt, an
        untrusted program also tells the user (or the log) what is missing. */
    virtual bool isTrusted (bool prompt) = 0;
};
