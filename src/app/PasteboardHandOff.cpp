#include "app/MyQuillsteadApplication.h"

#include "core/Logging.h"

//==============================================================================
// The clipboard follows control: files go to the machine that gets control
// over a file transfer, text through the server (ClientIPC). Every pasteboard
// is the platform's, safe on any thread.

void MyQuillsteadApplication::sendFileToMachine (juce::File file, int id, bool fromDrag)
{
    // Gives the receiving side time to get its clipboard ready.
    juce::Thread::sleep (200);

    auto target = findMachine (id);

    if (! target.has_value())
        return;

    openOutgoingFileTransfer (file, target->IP, target->port + 1, fromDrag);
}

juce::Array<juce::File> MyQuillsteadApplication::checkPasteboardForDraggedFiles()
{
    DBGOrLog ("checkPasteboardForDraggedFiles: xxx returning 0 for the moment xxx");
    return {};
}

juce::Array<juce::File> MyQuillsteadApplication::checkPasteboardForFiles()
{
    DBGOrLog ("checkPasteboardForFiles");

    juce::Array<juce::File> files;

    for (auto const& path : desktopPlatform.getGeneralPasteboard().readFilePaths())
    {
        DBGOrLog ("Adding detected file on clipboard: " + path);
        files.add (juce::File::createFileWithoutCheckingPath (path));
    }

    return files;
}

void MyQuillsteadApplication::addFileToClipboard (juce::File file, bool toDragPasteboard)
{
    auto& pasteboard = toDragPasteboard ? desktopPlatform.getDragPasteboard() : desktopPlatform.getGeneralPasteboard();

    if (! pasteboard.writeFiles ({ file }))
        DBGOrLog ("addFileToClipboard failed");
}

void MyQuillsteadApplication::addMultipleFilesOrDirsToClipboard (juce::Array<juce::File> const& files)
{
    auto& pasteboard = desktopPlatform.getGeneralPasteboard();
    pasteboard.clear();

    juce::Array<juce::File> existing;

    for (auto const& file : files)
        if (file.getFullPathName().isNotEmpty() && file.exists())
            existing.add (file);

    if (! existing.isEmpty())
        pasteboard.writeFiles (existing);
}

void MyQuillsteadApplication::emptyClipboard()
{
    auto const changeCount = desktopPlatform.getGeneralPasteboard().clear();
    DBGOrLog ("emptyClipboard: cleared " + juce::String (changeCount) + " objects");
}

juce::FileLogger* MyQuillsteadApplication::getLogger()
{
    return logger.get();
}

juce::String MyQuillsteadApplication::getTextFromClipboard()
{
    return desktopPlatform.getGeneralPasteboard().getText();
}

void MyQuillsteadApplication::copyTextToClipboard (juce::String const& text)
{
    desktopPlatform.getGeneralPasteboard().setString (text);
}
