#pragma once

#include "platform/Pasteboard.h"

#include <mutex>

/** A pasteboard kept in memory: the drag pasteboard of every backend, and the
    general pasteboard of MemoryDesktopPlatform. It behaves as the X11 general
    pasteboard does: it holds text or URLs, not both, and its text form of a
    file list is the paths, one per line. Thread-safe. */
class MemoryPasteboard : public Pasteboard
{
public:
    juce::StringArray readFilePaths() override;
    bool writeFiles (juce::Array<juce::File> const& files) override;
    int clear() override;
    void setString (juce::String const& text) override;
    juce::String getText() override;
    int getChangeCount() override;

    /** Puts URLs on the pasteboard as another program would (any URLs, not only
        files), replacing what it held. */
    void putUris (juce::StringArray const& uris);

    /** The URLs it holds, in order. */
    juce::StringArray getUris() const;

private:
    mutable std::mutex lock;
    juce::String text;
    juce::StringArray uris;
    int changeCount = 0;
};
