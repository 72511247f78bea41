#include "platform/AppFolders.h"

namespace AppFolders
{
juce::File getUserFolder()
{
    // JUCE's own log folder on Linux is the user application-data folder.
    return juce::FileLogger::getSystemLogFileFolder().getChildFile ("Corvelline");
}

juce::File getLogFile()
{
    return getUserFolder().getChildFile ("CorvellineLog.txt");
}

juce::File getSettingsFile()
{
    return getUserFolder().getChildFile ("Corvelline.settings");
}

juce::String getSettingsFolderName()
{
    return getUserFolder().getFullPathName();
}
} // namespace AppFolders
