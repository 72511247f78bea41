#pragma once

#include <juce_core/juce_core.h>

/** Where this program keeps its files on this system.

    On Linux the log, the settings and the accessibility marker share one
    per-user folder below the user's configuration folder ($XDG_CONFIG_HOME,
    else ~/.config). The temporary folder is AppTempFolder's.
*/
namespace AppFolders
{
    /** The per-user folder that holds the log and the settings: ~/.config/Corvelline. */
    juce::File getUserFolder();

    /** The folder of the log file: getUserFolder(). */
    juce::File getLogFolder();

    /** The log file: CorvellineLog.txt in getLogFolder(). */
    juce::File getLogFile();

    /** The folder of the settings file: getUserFolder(). */
    juce::File getSettingsFolder();

    /** The settings file: Corvelline.settings in getSettingsFolder(). */
    juce::File getSettingsFile();

    /** The folder the settings options name. JUCE puts a non-shared settings file on
        Linux in "~/" + folderName, and an absolute folder name stands for itself. */
    juce::String getSettingsFolderName();

    /** The accessibility marker: no_permissions.txt in getUserFolder()
        (~/.config/Corvelline/no_permissions.txt). It exists, as a file, after a run
        that lacked the input permissions. A folder of that name is no marker. */
    juce::File getAccessibilityMarker();
}
