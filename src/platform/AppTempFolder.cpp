#include "platform/AppTempFolder.h"

#include "core/Logging.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::mutex folderLock;
juce::File fallbackFolder; // a private folder made when the usual name is taken; guarded by folderLock

juce::String usualName()
{
    return "Corvelline-" + juce::String ((juce::int64) geteuid());
}

enum class Check { missing, ours, foreign };

// A folder is ours when it is a real folder (not a link to one), owned by this
// user, and nobody else may write into it.
Check check (juce::File const& folder)
{
    struct stat info {};

    if (lstat (folder.getFullPathName().toRawUTF8(), &info) != 0)
        return errno == ENOENT ? Check::missing : Check::foreign;

    if (! S_ISDIR (info.st_mode) || info.st_uid != geteuid())
        return Check::foreign;

    if ((info.st_mode & 022) != 0
        && chmod (folder.getFullPathName().toRawUTF8(), 0700) != 0)
        return Check::foreign;

    return Check::ours;
}

// Makes the folder when missing; true when it is then ours.
bool makeOrAccept (juce::File const& folder)
{
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        switch (check (folder))
        {
            case Check::ours:    return true;
            case Check::foreign: return false;
            case Check::missing: break;
        }

        if (mkdir (folder.getFullPathName().toRawUTF8(), 0700) == 0)
            return check (folder) == Check::ours;

        if (errno != EEXIST)
            return false;
        // Somebody made it meanwhile: look again.
    }

    return false;
}

juce::File makeFallback (juce::File const& base)
{
    auto pattern = base.getChildFile (usualName() + "-XXXXXX").getFullPathName().toStdString();

    if (mkdtemp (pattern.data()) == nullptr)
        return {};

    return juce::File (juce::String (pattern));
}

// The folder to use, made when missing; caller holds folderLock.
juce::File locate (bool create)
{
    auto base = AppTempFolder::getSystemTempFolder();

    if (fallbackFolder != juce::File())
    {
        if (check (fallbackFolder) == Check::ours)
            return fallbackFolder;

        if (! create)
            return {};

        // It was removed: make a new one rather than trusting the name again.
        fallbackFolder = makeFallback (base);
        return fallbackFolder;
    }

    auto usual = base.getChildFile (usualName());

    if (! create)
        return check (usual) == Check::ours ? usual : juce::File();

    if (makeOrAccept (usual))
        return usual;

    DBGOrLog ("Temporary folder " + usual.getFullPathName() + " is not this user's own; using a private one");
    fallbackFolder = makeFallback (base);
    return fallbackFolder;
}
} // namespace

namespace AppTempFolder
{
juce::File getSystemTempFolder()
{
    auto const* fromEnvironment = std::getenv ("TMPDIR");

    if (fromEnvironment != nullptr && fromEnvironment[0] == '/')
    {
        juce::File folder { juce::String (juce::CharPointer_UTF8 (fromEnvironment)) };

        if (folder.isDirectory())
            return folder;
    }

    return juce::File ("/tmp");
}

juce::File get()
{
    std::lock_guard<std::mutex> lock (folderLock);
    return locate (true);
}

bool remove()
{
    std::lock_guard<std::mutex> lock (folderLock);
    auto folder = locate (false);

    if (folder == juce::File())
        return true;

    // Never the shared folder itself, whatever went wrong above.
    if (folder == getSystemTempFolder() || ! folder.isAChildOf (getSystemTempFolder()))
        return false;

    return folder.deleteRecursively (false) && ! folder.exists();
}
} // namespace AppTempFolder
