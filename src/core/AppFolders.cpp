#include "core/AppFolders.h"

namespace AppFolders
{
juce::File getUserFolder()
{
    // JUCE's own log folder on Linux is the user application-data folder.
    return juce::FileLogger::getSystemLogFileFolder().getChildFile ("Corvelline");
}

juce::File getLogFolder()
{
    return getUserFolder();
}

juce::File getLogFile()
{
    return getLogFolder().getChildFile ("CorvellineLog.txt");
}

juce::File getSettingsFolder()
{
    return getUserFolder();
}

juce::File getSettingsFile()
{
    return getSettingsFolder().getChildFile ("Corvelline.settings");
}

juce::String getSettingsFolderName()
{
    return getSettingsFolder().getFullPathName();
}

juce::File getAccessibilityMarker()
{
    return getUserFolder().getChildFile ("no_permissions.txt");
}
} // namespace AppFolders
