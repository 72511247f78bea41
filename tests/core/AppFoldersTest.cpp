#include "core/AppFolders.h"
#include "core/SingletonApplicationProperties.h"
#include "platform/AppTempFolder.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const juce::String ownName = "Corvelline-" + juce::String ((juce::int64) geteuid());

// Removes the folder and restores TMPDIR after a test.
struct TempDirGuard
{
    juce::String saved = juce::String (juce::CharPointer_UTF8 (std::getenv ("TMPDIR")));
    ~TempDirGuard()
    {
        AppTempFolder::remove();
        setenv ("TMPDIR", saved.toRawUTF8(), 1);
    }
};
} // namespace

TEST (AppFolders, LogSettingsAndMarkerShareThePerUserConfigFolder)
{
    auto folder = TestEnvironment::getHome().getChildFile (".config/Corvelline");
    EXPECT_EQ (AppFolders::getLogFolder(), folder);
    EXPECT_EQ (AppFolders::getLogFile(), folder.getChildFile ("CorvellineLog.txt"));
    EXPECT_EQ (AppFolders::getSettingsFolder(), folder);
    EXPECT_EQ (AppFolders::getSettingsFile(), folder.getChildFile ("Corvelline.settings"));
    EXPECT_EQ (SingletonApplicationProperties::makeOptions().getDefaultFile(), AppFolders::getSettingsFile());
    EXPECT_EQ (AppFolders::getAccessibilityMarker(), folder.getChildFile ("no_permissions.txt"));
}

TEST (AppTempFolder, APrivateFolderBelowTmpdirWhoseRemovalLeavesEverythingElseAlone)
{
    TempDirGuard guard;
    auto system = AppTempFolder::getSystemTempFolder();
    EXPECT_EQ (system, TestEnvironment::getTemp());
    auto sibling = system.getChildFile ("someone-elses.txt");
    ASSERT_TRUE (sibling.replaceWithText ("keep me"));
    auto outside = system.getChildFile ("outside");
    ASSERT_TRUE (outside.getChildFile ("precious.txt").create().wasOk());

    auto folder = AppTempFolder::get();
    EXPECT_EQ (folder, system.getChildFile (ownName));
    struct stat info {};
    ASSERT_EQ (stat (folder.getFullPathName().toRawUTF8(), &info), 0);
    EXPECT_TRUE (S_ISDIR (info.st_mode));
    EXPECT_EQ (info.st_mode & 0777, 0700u);
    EXPECT_EQ (AppTempFolder::get(), folder) << "one folder for the whole run";

    // A link inside pointing out of the folder is removed, not followed.
    ASSERT_TRUE (folder.getChildFile ("Corvelline/zipOut.zip").create().wasOk());
    ASSERT_TRUE (outside.createSymbolicLink (folder.getChildFile ("Corvelline/link"), true));
    EXPECT_TRUE (AppTempFolder::remove());
    EXPECT_FALSE (folder.exists());
    EXPECT_EQ (sibling.loadFileAsString(), "keep me");
    EXPECT_TRUE (outside.getChildFile ("precious.txt").existsAsFile());
    EXPECT_TRUE (system.isDirectory());

    EXPECT_TRUE (AppTempFolder::remove()) << "removing a missing folder is no failure";
    EXPECT_TRUE (AppTempFolder::get().isDirectory()) << "made again when needed";
}

TEST (AppTempFolder, ANameTakenByALinkIsNeverUsedAndAnUnusableTmpdirFallsBackToSlashTmp)
{
    TempDirGuard guard;
    auto system = AppTempFolder::getSystemTempFolder();
    auto target = system.getChildFile ("victim");
    ASSERT_TRUE (target.getChildFile ("data.txt").create().wasOk());
    ASSERT_TRUE (target.createSymbolicLink (system.getChildFile (ownName), true));

    auto folder = AppTempFolder::get();
    EXPECT_TRUE (folder.getFileName().startsWith (ownName + "-"));
    EXPECT_TRUE (folder.isAChildOf (system));
    EXPECT_FALSE (folder.isSymbolicLink());
    EXPECT_TRUE (AppTempFolder::remove());
    EXPECT_TRUE (target.getChildFile ("data.txt").existsAsFile());
    EXPECT_TRUE (system.getChildFile (ownName).isSymbolicLink()) << "the foreign link stays";

    for (auto* value : { "", "relative/dir", "/no/such/folder/at/all" })
    {
        setenv ("TMPDIR", value, 1);
        EXPECT_EQ (AppTempFolder::getSystemTempFolder(), juce::File ("/tmp")) << value;
    }
}
