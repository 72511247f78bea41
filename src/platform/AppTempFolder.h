#pragma once

#include <juce_core/juce_core.h>

/** The program's own temporary folder.

    JUCE's temporary directory on Linux is the system's shared temp folder
    ($TMPDIR, else /tmp), which other programs and users share: this program
    must never delete that. It works instead in a folder of its own below it,
    one per user: "Corvelline-<uid>", private to the user (mode 0700).

    The shared temp folder is writable by everybody, so the name may be taken by
    something else: a symbolic link, a file, another user's folder, a folder that
    others may write into. Such a name is never used; the process then makes a
    fresh private folder "Corvelline-<uid>-XXXXXX" beside it and keeps to that
    one for the rest of its run.

    Thread-safe.
*/
namespace AppTempFolder
{
    /** The system temp folder that holds the program's folder: $TMPDIR when it
        names an existing absolute folder, else /tmp. Never deleted by this program. */
    juce::File getSystemTempFolder();

    /** The program's folder, created when missing (and when removed earlier).
        Returns juce::File() when no folder could be made. */
    juce::File get();

    /** Deletes the program's folder with everything in it. Symbolic links inside
        are removed, never followed, so nothing outside the folder is touched.
        Does nothing when the folder is missing. Returns true when no folder is
        left. */
    bool remove();
}
