#pragma once

#include "platform/Pasteboard.h"

#include <atomic>
#include <memory>

/** The X11 general pasteboard: the CLIPBOARD selection.

    Text goes through juce::SystemClipboard, on the message thread (JUCE's
    clipboard code is not thread-safe; a call from another thread is handed to
    the message thread and waits for it a bounded time). JUCE offers text as
    UTF8_STRING and STRING, reads at most 400,000 bytes and cannot serve
    1,000,000 bytes or more; its reader falls back to the PRIMARY selection when
    CLIPBOARD holds no text.

    File lists go through a selection owner of this class's own, on an X
    connection and a thread of its own, which offers TARGETS, TIMESTAMP,
    "text/uri-list" (the file URIs) and UTF8_STRING (the paths, one per line),
    and reads "text/uri-list" from other owners (INCR transfers included).

    Construct and destroy on the message thread, after JUCE's GUI support is
    up; the operations may be called from any thread.
*/
class X11Pasteboard : public Pasteboard
{
public:
    X11Pasteboard();
    ~X11Pasteboard() override;

    /** False when the display could not be opened: then the pasteboard holds
        nothing and takes nothing. */
    bool isConnected() const;

    juce::StringArray readFilePaths() override;
    bool writeFiles (juce::Array<juce::File> const& files) override;
    int clear() override;
    void setString (juce::String const& text) override;
    juce::String getText() override;
    int getChangeCount() override;

private:
    class SelectionOwner;
    std::unique_ptr<SelectionOwner> owner;
    std::atomic<int> changeCount { 0 };
};
