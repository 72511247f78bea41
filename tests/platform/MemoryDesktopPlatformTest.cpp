#include "platform/MemoryDesktopPlatform.h"
#include "support/TestEnvironment.h"
#include "PlatformTestSupport.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using PlatformTest::toVector;

namespace
{
juce::File makeFile (juce::String const& name)
{
    auto file = TestEnvironment::getTemp().getChildFile (name);
    file.create();
    return file;
}
} // namespace

TEST (MemoryPasteboard, FilesRoundTripInOrderAndMissingPathsAreSkipped)
{
    MemoryDesktopPlatform platform;
    auto& board = platform.getGeneralPasteboard();
    auto a = makeFile ("a file.txt");
    auto folder = TestEnvironment::getTemp().getChildFile ("Docs");
    folder.createDirectory();

    board.clear();
    EXPECT_TRUE (board.writeFiles ({ a, TestEnvironment::getTemp().getChildFile ("gone"), folder }));
    EXPECT_THAT (toVector (board.readFilePaths()), ElementsAre (a.getFullPathName().toStdString(), folder.getFullPathName().toStdString()));

    // A later write adds to what is there, as long as nobody cleared it.
    auto b = makeFile ("b");
    EXPECT_TRUE (board.writeFiles ({ b }));
    EXPECT_EQ (board.readFilePaths().size(), 3);

    EXPECT_FALSE (board.writeFiles ({ juce::File(), TestEnvironment::getTemp().getChildFile ("gone") }));
}

TEST (MemoryPasteboard, ClearCountsAndEmptiesTextAndFiles)
{
    MemoryPasteboard board;
    EXPECT_EQ (board.getChangeCount(), 0);

    board.setString ("hello");
    EXPECT_EQ (board.getText(), "hello");
    EXPECT_TRUE (board.readFilePaths().isEmpty()) << "text alone holds no file";
    EXPECT_EQ (board.getChangeCount(), 1);

    auto count = board.clear();
    EXPECT_EQ (count, 2);
    EXPECT_EQ (board.getText(), "");

    board.writeFiles ({ makeFile ("x") });
    EXPECT_EQ (board.getText(), TestEnvironment::getTemp().getChildFile ("x").getFullPathName());
    EXPECT_EQ (board.clear(), 3);
    EXPECT_TRUE (board.readFilePaths().isEmpty());
}

TEST (MemoryPasteboard, ForeignUrlsGiveTheirPathParts)
{
    MemoryPasteboard board;
    board.putUris ({ "https://example.com/docs/page?x=1", "file:///tmp/x%20y", "https://example.com" });
    EXPECT_THAT (toVector (board.readFilePaths()), ElementsAre ("/docs/page", "/tmp/x y"));
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
    item.setMenu ("Corvelline", { { "Show Window", [&] { ++shows; } },
                                  { "Quit", [&] { platform.requestQuit(); } } });
    EXPECT_EQ (item.getMenuTitle(), "Corvelline");
    EXPECT_THAT (toVector (item.getMenuTexts()), ElementsAre ("Show Window", "Quit"));

    EXPECT_TRUE (item.pick ("Show Window"));
    EXPECT_TRUE (item.pick ("Show Window"));
    EXPECT_EQ (shows, 2);
    EXPECT_EQ (platform.getNumQuitRequests(), 0);
    EXPECT_TRUE (item.pick ("Quit"));
    EXPECT_EQ (platform.getNumQuitRequests(), 1);
    EXPECT_FALSE (item.pick ("Preferences"));
}

TEST (MemoryDesktopPlatform, TrustCheckAnswersWhatTheTestSetAndRecordsThePrompt)
{
    MemoryDesktopPlatform platform;
    EXPECT_TRUE (platform.isTrusted (false));
    platform.setTrusted (false);
    EXPECT_FALSE (platform.isTrusted (true));
    EXPECT_THAT (platform.getTrustChecks(), ElementsAre (false, true));
}
