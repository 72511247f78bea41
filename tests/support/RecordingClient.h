#pragma once

#include "ipc/ClientIPC.h"

#include <functional>
#include <map>
#include <string>
#include <mutex>
#include <vector>

/** A cluster client whose operations on the application only record their
    calls (name, arguments, thread), standing in for the application object.

    A few operations behave like the application's, as far as the tests need
    them: addMachine, removeMachine and clearMachines keep a small registry of
    addresses and ports, which sendFileToMachine uses to open a real outgoing
    file transfer to the target's port + 1. */
class RecordingClient : public ClientIPC
{
public:
    struct Call
    {
        juce::String name;
        juce::String arguments;
        bool onMessageThread = false;
    };

    RecordingClient();
    ~RecordingClient() override;

    //==============================================================================
    /** Every call so far, in order. */
    std::vector<Call> getCalls() const;

    /** The calls of one operation. */
    std::vector<Call> getCalls (juce::String const& name) const;

    /** "name arguments" of every call, in order. */
    std::vector<std::string> getCallTexts() const;

    void clearCalls();

    /** Waits until 'condition' holds, at most timeoutMs. On the message thread
        it keeps the message loop running meanwhile. */
    static bool waitUntil (std::function<bool()> condition, int timeoutMs = 10000);

    /** Waits until 'name' has been called at least 'count' times. */
    bool waitForCalls (juce::String const& name, int count = 1, int timeoutMs = 10000) const;

    /** Called for every recorded call, on the calling thread. */
    std::function<void (Call const&)> onCall;

    //==============================================================================
    // What the fake clipboard holds.
    void setClipboardFiles (juce::Array<juce::File> files);
    void setDraggedFiles (juce::Array<juce::File> files);
    void setClipboardText (juce::String text);
    juce::String getCopiedText() const;

    /** The files handed to addMultipleFilesOrDirsToClipboard last. */
    juce::Array<juce::File> getReceivedFiles() const;

    /** Whether sendFileToMachine opens a real transfer (default) or only records. */
    bool sendFilesForReal = true;

    //==============================================================================
    void prepareLocalAndRemote (int id, bool requestMiddle) override;
    void takeBackControl() override;
    void addMachine (juce::String const& ip, int port, int id, juce::RectangleList<int>& monitors,
                     juce::Rectangle<int>& area, juce::String const& os) override;
    void removeMachine (juce::String const& ip, int port, int id) override;
    void clearMachines() override;
    void updateMachinePosition (int id, int x, int y, bool moveComponent) override;
    void updateMachineDisplay (juce::ValueTree const& tree) override;
    void resizeContentComponent (int width, int height) override;
    void jumpTo (int id) override;
    void jumpToMiddle (bool updateVirtual) override;
    void gotReceivingModeMessage (juce::String const& fromOS) override;
    void gotIdleModeMessage() override;
    void stopSocketThread (bool checkPartner) override;
    void stopListenerThread() override;
    void tellMainComponentIAmServer() override;
    void sendFileToMachine (juce::File file, int id, bool fromDrag) override;
    juce::Array<juce::File> checkPasteboardForDraggedFiles() override;
    juce::Array<juce::File> checkPasteboardForFiles() override;
    void addFileToClipboard (juce::File file, bool toDragPasteboard) override;
    void addMultipleFilesOrDirsToClipboard (juce::Array<juce::File> const& files) override;
    void emptyClipboard() override;
    juce::FileLogger* getLogger() override;
    void setCurrentInputID (int id) override;
    void setCurrentReceivingID (int id) override;

protected:
    juce::String getTextFromClipboard() override;
    void copyTextToClipboard (juce::String const& text) override;

private:
    void record (juce::String const& name, juce::String const& arguments = {});

    mutable std::mutex lock;
    std::vector<Call> calls;
    std::map<int, std::pair<juce::String, int>> registry;
    juce::Array<juce::File> clipboardFiles, draggedFiles, receivedFiles;
    juce::String clipboardText, copiedText;
};
