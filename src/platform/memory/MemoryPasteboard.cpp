#include "platform/memory/MemoryPasteboard.h"

#include "platform/FileUriList.h"

juce::StringArray MemoryPasteboard::readFilePaths()
{
    std::lock_guard<std::mutex> guard (lock);
    juce::StringArray result;

    for (auto& uri : uris)
    {
        auto path = FileUriList::pathOf (uri);

        if (path.isNotEmpty())
            result.add (path);
    }

    return result;
}

bool MemoryPasteboard::writeFiles (juce::Array<juce::File> const& files)
{
    std::lock_guard<std::mutex> guard (lock);
    bool tookOne = false;

    for (auto& file : files)
    {
        if (file == juce::File() || ! file.exists())
            continue;

        if (text.isNotEmpty())
            text = {};

        uris.add (FileUriList::fileUri (file.getFullPathName()));
        tookOne = true;
    }

    return tookOne;
}

int MemoryPasteboard::clear()
{
    std::lock_guard<std::mutex> guard (lock);
    text = {};
    uris.clear();
    return ++changeCount;
}

void MemoryPasteboard::setString (juce::String const& newText)
{
    std::lock_guard<std::mutex> guard (lock);
    text = newText;
    uris.clear();
    ++changeCount;
}

juce::String MemoryPasteboard::getText()
{
    std::lock_guard<std::mutex> guard (lock);

    if (! uris.isEmpty())
        return FileUriList::paths (uris.joinIntoString ("\r\n")).joinIntoString ("\n");

    return text;
}

int MemoryPasteboard::getChangeCount()
{
    std::lock_guard<std::mutex> guard (lock);
    return changeCount;
}

void MemoryPasteboard::putUris (juce::StringArray const& newUris)
{
    std::lock_guard<std::mutex> guard (lock);
    text = {};
    uris = newUris;
}

juce::StringArray MemoryPasteboard::getUris() const
{
    std::lock_guard<std::mutex> guard (lock);
    return uris;
}
