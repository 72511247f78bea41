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

void RecordingClient::store (Call call)
{
    {
        const std::lock_guard<std::mutex> sl (lock);
        calls.push_back (call);
    }

    if (onCall)
        onCall (call);
}

std::vector<RecordingClient::Call> RecordingClient::getCalls() const
{
    const std::lock_guard<std::mutex> sl (lock);
    return calls;
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

void RecordingClient::clearCalls()
{
    const std::lock_guard<std::mutex> sl (lock);
    calls.clear();
}

void RecordingClient::setClipboard (juce::String text, juce::Array<juce::File> files, juce::Array<juce::File> dragged)
{
    const std::lock_guard<std::mutex> sl (lock);
    clipboardText = text;
    clipboardFiles = files;
    draggedFiles = dragged;
}

juce::String RecordingClient::getTextFromClipboard()
{
    const std::lock_guard<std::mutex> sl (lock);
    return clipboardText;
}

juce::Array<juce::File> RecordingClient::checkPasteboardForDraggedFiles()
{
    record ("checkPasteboardForDraggedFiles");
    const std::lock_guard<std::mutex> sl (lock);
    return draggedFiles;
}

juce::Array<juce::File> RecordingClient::checkPasteboardForFiles()
{
    record ("checkPasteboardForFiles");
    const std::lock_guard<std::mutex> sl (lock);
    return clipboardFiles;
}

void RecordingClient::addMachine (juce::String const& ip, int port, int id, juce::RectangleList<int>& monitors,
                                  juce::Rectangle<int>& area, juce::String const& os)
{
    { const std::lock_guard<std::mutex> sl (lock); registry[id] = { ip, port }; }
    record ("addMachine", ip, port, id, monitors, area, os);
}

void RecordingClient::removeMachine (juce::String const& ip, int port, int id)
{
    { const std::lock_guard<std::mutex> sl (lock); registry.erase (id); }
    record ("removeMachine", ip, port, id);
}

void RecordingClient::clearMachines()
{
    { const std::lock_guard<std::mutex> sl (lock); registry.clear(); }
    record ("clearMachines");
}

void RecordingClient::sendFileToMachine (juce::File file, int id, bool fromDrag)
{
    record ("sendFileToMachine", file, id, fromDrag);
    std::unique_lock<std::mutex> sl (lock);
    auto target = registry.find (id);

    if (target == registry.end())
        return;

    auto [ip, port] = target->second;
    sl.unlock();
    openOutgoingFileTransfer (file, ip, port + 1, fromDrag);
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
