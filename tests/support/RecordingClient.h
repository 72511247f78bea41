#pragma once

#include "ipc/ClientIPC.h"

#include <functional>
#include <mutex>
#include <vector>

/** A cluster client standing in for the application: each of the 24
    operations records its call as "name arguments" with the thread it ran on;
    the clipboard is a fake set by the test. */
class RecordingClient : public ClientIPC
{
public:
    struct Call
    {
        juce::String text;   // "name arguments"
        bool onMessageThread = false;
    };

    ~RecordingClient() override { closeClient(); }

    std::vector<Call> getCalls() const                  { return guarded ([this] { return calls; }); }
    void clearCalls()                                   { guarded ([this] { calls.clear(); return 0; }); }

    /** The calls joined by "; ", each followed by " @message" when it ran on the message thread. */
    juce::String callTexts (bool withThreads = false) const;

    /** How many calls of 'name' were recorded, and a bounded wait for 'count' of them. */
    int count (juce::String const& name) const;
    bool waitFor (juce::String const& name, int count = 1, int timeoutMs = 10000) const;

    /** Called for every recorded call, on the calling thread. */
    std::function<void (Call const&)> onCall;

    void setClipboard (juce::String text, juce::Array<juce::File> files = {}, juce::Array<juce::File> dragged = {})
    {
        guarded ([&] { clipboardText = text; clipboardFiles = files; draggedFiles = dragged; return 0; });
    }

    //==============================================================================
    void prepareLocalAndRemote (int id, bool middle) override   { record ("prepareLocalAndRemote", id, middle); }
    void takeBackControl() override                             { record ("takeBackControl"); }
    void addMachine (juce::String const& ip, int port, int id, juce::RectangleList<int>& monitors,
                     juce::Rectangle<int>& area, juce::String const& os) override
        { record ("addMachine", ip, port, id, monitors, area, os); }
    void removeMachine (juce::String const& ip, int port, int id) override
        { record ("removeMachine", ip, port, id); }
    void clearMachines() override                               { record ("clearMachines"); }
    void updateMachinePosition (int id, int x, int y, bool move) override { record ("updateMachinePosition", id, x, y, move); }
    void updateMachineDisplay (juce::ValueTree const& tree) override { record ("updateMachineDisplay", tree); }
    void resizeContentComponent (int width, int height) override { record ("resizeContentComponent", width, height); }
    void jumpTo (int id) override                               { record ("jumpTo", id); }
    void jumpToMiddle (bool updateVirtual) override             { record ("jumpToMiddle", updateVirtual); }
    void gotReceivingModeMessage (juce::String const& os) override { record ("gotReceivingModeMessage", os.quoted()); }
    void gotIdleModeMessage() override                          { record ("gotIdleModeMessage"); }
    void stopSocketThread (bool checkPartner) override          { record ("stopSocketThread", checkPartner); }
    void stopListenerThread() override                          { record ("stopListenerThread"); }
    void tellMainComponentIAmServer() override                  { record ("tellMainComponentIAmServer"); }
    void sendFileToMachine (juce::File file, int id, bool fromDrag) override { record ("sendFileToMachine", file, id, fromDrag); }
    juce::Array<juce::File> checkPasteboardForDraggedFiles() override
        { record ("checkPasteboardForDraggedFiles"); return guarded ([this] { return draggedFiles; }); }
    juce::Array<juce::File> checkPasteboardForFiles() override
        { record ("checkPasteboardForFiles"); return guarded ([this] { return clipboardFiles; }); }
    void addFileToClipboard (juce::File file, bool toDrag) override { record ("addFileToClipboard", file, toDrag); }
    void addMultipleFilesOrDirsToClipboard (juce::Array<juce::File> const& files) override;
    void emptyClipboard() override                              { record ("emptyClipboard"); }
    juce::FileLogger* getLogger() override                      { record ("getLogger"); return nullptr; }
    void setCurrentInputID (int id) override                    { record ("setCurrentInputID", id); }
    void setCurrentReceivingID (int id) override                { record ("setCurrentReceivingID", id); }

protected:
    juce::String getTextFromClipboard() override                { return guarded ([this] { return clipboardText; }); }
    void copyTextToClipboard (juce::String const& text) override { record ("copyTextToClipboard", text.quoted()); }

private:
    static juce::String describe (juce::String const& s)        { return s; }
    static juce::String describe (int i)                        { return juce::String (i); }
    static juce::String describe (bool b)                       { return b ? "true" : "false"; }
    static juce::String describe (juce::File const& f)          { return f.getFullPathName(); }
    static juce::String describe (juce::Rectangle<int> const& r) { return r.toString(); }
    static juce::String describe (juce::ValueTree const& t)     { return t.getType().toString() + " " + t["ID"].toString(); }
    static juce::String describe (juce::RectangleList<int> const& list);

    template <typename... Args>
    void record (const char* name, Args const&... args)
    {
        juce::StringArray parts { name };
        (parts.add (describe (args)), ...);
        Call call { parts.joinIntoString (" ").trimEnd(), juce::MessageManager::getInstance()->isThisTheMessageThread() };
        guarded ([&] { calls.push_back (call); return 0; });

        if (onCall)
            onCall (call);
    }

    template <typename Work>
    auto guarded (Work work) const -> decltype (work())
    {
        const std::lock_guard<std::mutex> sl (lock);
        return work();
    }

    mutable std::mutex lock;
    std::vector<Call> calls;
    juce::Array<juce::File> clipboardFiles, draggedFiles;
    juce::String clipboardText;
};
