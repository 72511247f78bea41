#include "support/RecordingClient.h"
#include "support/TestEnvironment.h"

#include <juce_gui_basics/juce_gui_basics.h>

namespace
{
juce::String describe (juce::RectangleList<int> const& monitors)
{
    juce::StringArray parts;

    for (auto const& r : monitors)
        parts.add (r.toString());

    return "[" + parts.joinIntoString ("; ") + "]";
}
} // namespace

RecordingClient::RecordingClient() = default;

RecordingClient::~RecordingClient()
{
    closeClient();
}

void RecordingClient::record (juce::String const& name, juce::String const& arguments)
{
    Call call { name, arguments, juce::MessageManager::getInstance()->isThisTheMessageThread() };

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

std::vector<RecordingClient::Call> RecordingClient::getCalls (juce::String const& name) const
{
    std::vector<Call> matching;

    for (auto const& call : getCalls())
        if (call.name == name)
            matching.push_back (call);

    return matching;
}

std::vector<std::string> RecordingClient::getCallTexts() const
{
    std::vector<std::string> texts;

    for (auto const& call : getCalls())
        texts.push_back ((call.name + " " + call.arguments).trimEnd().toStdString());

    return texts;
}

void RecordingClient::clearCalls()
{
    const std::lock_guard<std::mutex> sl (lock);
    calls.clear();
}

bool RecordingClient::waitUntil (std::function<bool()> condition, int timeoutMs)
{
    return TestEnvironment::waitUntil (std::move (condition), timeoutMs);
}

bool RecordingClient::waitForCalls (juce::String const& name, int count, int timeoutMs) const
{
    return waitUntil ([&] { return (int) getCalls (name).size() >= count; }, timeoutMs);
}

void RecordingClient::setClipboardFiles (juce::Array<juce::File> files)
{
    const std::lock_guard<std::mutex> sl (lock);
    clipboardFiles = std::move (files);
}

void RecordingClient::setDraggedFiles (juce::Array<juce::File> files)
{
    const std::lock_guard<std::mutex> sl (lock);
    draggedFiles = std::move (files);
}

void RecordingClient::setClipboardText (juce::String text)
{
    const std::lock_guard<std::mutex> sl (lock);
    clipboardText = std::move (text);
}

juce::String RecordingClient::getCopiedText() const
{
    const std::lock_guard<std::mutex> sl (lock);
    return copiedText;
}

juce::Array<juce::File> RecordingClient::getReceivedFiles() const
{
    const std::lock_guard<std::mutex> sl (lock);
    return receivedFiles;
}

//==============================================================================
void RecordingClient::prepareLocalAndRemote (int id, bool requestMiddle)
{
    record ("prepareLocalAndRemote", juce::String (id) + " " + (requestMiddle ? "true" : "false"));
}

void RecordingClient::takeBackControl() { record ("takeBackControl"); }

void RecordingClient::addMachine (juce::String const& ip, int port, int id, juce::RectangleList<int>& monitors,
                                  juce::Rectangle<int>& area, juce::String const& os)
{
    {
        const std::lock_guard<std::mutex> sl (lock);
        registry[id] = { ip, port };
    }

    record ("addMachine", ip + " " + juce::String (port) + " " + juce::String (id) + " " + describe (monitors)
                          + " " + area.toString() + " " + os);
}

void RecordingClient::removeMachine (juce::String const& ip, int port, int id)
{
    {
        const std::lock_guard<std::mutex> sl (lock);
        registry.erase (id);
    }

    record ("removeMachine", ip + " " + juce::String (port) + " " + juce::String (id));
}

void RecordingClient::clearMachines()
{
    {
        const std::lock_guard<std::mutex> sl (lock);
        registry.clear();
    }

    record ("clearMachines");
}

void RecordingClient::updateMachinePosition (int id, int x, int y, bool moveComponent)
{
    record ("updateMachinePosition", juce::String (id) + " " + juce::String (x) + " " + juce::String (y) + " "
                                     + (moveComponent ? "true" : "false"));
}

void RecordingClient::updateMachineDisplay (juce::ValueTree const& tree)
{
    record ("updateMachineDisplay", tree.getType().toString() + " " + tree.getProperty ("ID").toString());
}

void RecordingClient::resizeContentComponent (int width, int height)
{
    record ("resizeContentComponent", juce::String (width) + " " + juce::String (height));
}

void RecordingClient::jumpTo (int id)                       { record ("jumpTo", juce::String (id)); }
void RecordingClient::jumpToMiddle (bool updateVirtual)     { record ("jumpToMiddle", updateVirtual ? "true" : "false"); }
void RecordingClient::gotReceivingModeMessage (juce::String const& fromOS) { record ("gotReceivingModeMessage", fromOS.quoted()); }
void RecordingClient::gotIdleModeMessage()                  { record ("gotIdleModeMessage"); }
void RecordingClient::stopSocketThread (bool checkPartner)  { record ("stopSocketThread", checkPartner ? "true" : "false"); }
void RecordingClient::stopListenerThread()                  { record ("stopListenerThread"); }
void RecordingClient::tellMainComponentIAmServer()          { record ("tellMainComponentIAmServer"); }

void RecordingClient::sendFileToMachine (juce::File file, int id, bool fromDrag)
{
    record ("sendFileToMachine", file.getFullPathName() + " " + juce::String (id) + " " + (fromDrag ? "true" : "false"));

    if (! sendFilesForReal)
        return;

    std::pair<juce::String, int> target;

    {
        const std::lock_guard<std::mutex> sl (lock);
        auto found = registry.find (id);

        if (found == registry.end())
            return;

        target = found->second;
    }

    openOutgoingFileTransfer (file, target.first, target.second + 1, fromDrag);
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

void RecordingClient::addFileToClipboard (juce::File file, bool toDragPasteboard)
{
    record ("addFileToClipboard", file.getFullPathName() + (toDragPasteboard ? " true" : " false"));
}

void RecordingClient::addMultipleFilesOrDirsToClipboard (juce::Array<juce::File> const& files)
{
    juce::StringArray names;

    for (auto const& f : files)
        names.add (f.getFileName());

    names.sort (false);

    {
        const std::lock_guard<std::mutex> sl (lock);
        receivedFiles = files;
    }

    record ("addMultipleFilesOrDirsToClipboard", names.joinIntoString ("|"));
}

void RecordingClient::emptyClipboard()                  { record ("emptyClipboard"); }
juce::FileLogger* RecordingClient::getLogger()          { record ("getLogger"); return nullptr; }
void RecordingClient::setCurrentInputID (int id)        { record ("setCurrentInputID", juce::String (id)); }
void RecordingClient::setCurrentReceivingID (int id)    { record ("setCurrentReceivingID", juce::String (id)); }

juce::String RecordingClient::getTextFromClipboard()
{
    const std::lock_guard<std::mutex> sl (lock);
    return clipboardText;
}

void RecordingClient::copyTextToClipboard (juce::String const& text)
{
    {
        const std::lock_guard<std::mutex> sl (lock);
        copiedText = text;
    }

    record ("copyTextToClipboard", text.quoted());
}
