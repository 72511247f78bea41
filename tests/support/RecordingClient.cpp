#include "support/RecordingClient.h"

#include "ipc/ClientFileTransfer.h"
#include "support/TestEnvironment.h"

juce::String RecordingClient::describe (juce::RectangleList<int> const& list)
{
    juce::StringArray parts;

    for (auto const& r : list)
        parts.add (r.toString());

    return "[" + parts.joinIntoString ("; ") + "]";
}

juce::String RecordingClient::callTexts (bool withThreads) const
{
    juce::StringArray texts;

    for (auto const& call : getCalls())
        texts.add (call.text + (withThreads && call.onMessageThread ? " @message" : ""));

    return texts.joinIntoString ("; ");
}

int RecordingClient::count (juce::String const& name) const
{
    int n = 0;

    for (auto const& call : getCalls())
        n += call.text.upToFirstOccurrenceOf (" ", false, false) == name ? 1 : 0;

    return n;
}

bool RecordingClient::waitFor (juce::String const& name, int n, int timeoutMs) const
{
    return TestEnvironment::waitUntil ([&] { return count (name) >= n; }, timeoutMs);
}

// Recorded as paths relative to the transfer folder, sorted.
void RecordingClient::addMultipleFilesOrDirsToClipboard (juce::Array<juce::File> const& files)
{
    juce::StringArray names;

    for (auto const& f : files)
        names.add (f.getRelativePathFrom (FileTransfer::getTransferFolder()));

    names.sort (false);
    record ("addMultipleFilesOrDirsToClipboard", names.joinIntoString ("|"));
}
