#pragma once

#include <juce_core/juce_core.h>

/** Where this program keeps its files on this system.

    On Linux the log and the settings share one per-user folder below the
    user's configuration folder ($XDG_CONFIG_HOME, else ~/.config).
*/
namespace AppFolders
{
    /** The per-user folder that holds the log and the settings: ~/.config/Corvelline. */
    juce::File getUserFolder();

    /** The log file: CorvellineLog.txt in getUserFolder(). */
    juce::File getLogFile();

    /** The settings file: Corvelline.settings in getUserFolder(). */
    juce::File getSettingsFile();

    /** The folder the settings options name. JUCE puts a non-shared settings file on
        Linux in "~/" + folderName, and an absolute folder name stands for itself. */
    juce::String getSettingsFolderName();
}
