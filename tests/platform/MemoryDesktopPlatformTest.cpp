#include "platform/memory/MemoryDesktopPlatform.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

TEST (MemoryPasteboard, HoldsFilesOrTextSkipsMissingPathsAndCountsChanges)
{
    MemoryDesktopPlatform platform;
    auto& board = platform.getGeneralPasteboard();
    auto temp = TestEnvironment::getTemp();
    auto a = temp.getChildFile ("a file.txt"), b = temp.getChildFile ("b"), folder = temp.getChildFile ("Docs");
    ASSERT_TRUE (a.create() && b.create() && folder.createDirectory());
    auto gone = temp.getChildFile ("gone");

    EXPECT_TRUE (board.writeFiles ({ a, gone, folder }));
    EXPECT_TRUE (board.writeFiles ({ b }));   // adds to the list until something clears it
    EXPECT_FALSE (board.writeFiles ({ juce::File(), gone }));
    const auto paths = a.getFullPathName() + "\n" + folder.getFullPathName() + "\n" + b.getFullPathName();
    EXPECT_EQ (board.readFilePaths().joinIntoString ("\n"), paths);
    EXPECT_EQ (board.getText(), paths);

    const int count = board.getChangeCount();
    board.setString ("hello");
    EXPECT_EQ (board.getText(), "hello");
    EXPECT_TRUE (board.readFilePaths().isEmpty());
    EXPECT_EQ (board.clear(), count + 2);
    EXPECT_EQ (board.getText(), "");

    // Another program's URLs give their path parts.
    board.putUris ({ "https://example.com/docs/page?x=1", "file:///tmp/x%20y", "https://example.com" });
    EXPECT_EQ (board.readFilePaths().joinIntoString ("|"), "/docs/page|/tmp/x y");
}

TEST (MemoryStatusItem, RecordsPicturesAndPicksMenuEntries)
{
    MemoryDesktopPlatform platform;
    auto& item = platform.getStatusItem();
    EXPECT_FALSE (item.isShown());

    item.setImage ({});
    EXPECT_EQ (item.getNumImagesSet(), 0) << "a null picture changes nothing";
    juce::Image normal (juce::Image::ARGB, 36, 36, true), active (juce::Image::ARGB, 36, 36, true);
    item.setImage (normal);
    item.setImage (active);
    EXPECT_EQ (item.getNumImagesSet(), 2);
    EXPECT_EQ (item.getImage(), active);
    EXPECT_TRUE (item.isShown());

    int shows = 0;
    EXPECT_FALSE (item.pick ("Quit")) << "no menu yet";
    item.setMenu ("Corvelline", { { "Show Window", [&] { ++shows; } }, { "Quit", [&] { platform.requestQuit(); } } });
    EXPECT_EQ (item.getMenuTexts().joinIntoString ("|"), "Show Window|Quit");
    EXPECT_TRUE (item.pick ("Show Window"));
    EXPECT_EQ (shows, 1);
    EXPECT_EQ (platform.getNumQuitRequests(), 0);
    EXPECT_TRUE (item.pick ("Quit"));
    EXPECT_EQ (platform.getNumQuitRequests(), 1);
    EXPECT_FALSE (item.pick ("Preferences"));
}
