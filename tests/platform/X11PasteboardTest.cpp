#include "platform/FileUriList.h"
#include "platform/X11Pasteboard.h"
#include "support/TestEnvironment.h"
#include "PlatformTestSupport.h"

#include <gmock/gmock.h>
#include <juce_events/juce_events.h>

#include <thread>

using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using PlatformTest::toVector;

namespace
{
struct Result
{
    bool finished = false;
    int exitCode = -1;
    std::string output;
};

/** Runs a program to its end (at most 10 s) while the message thread keeps
    dispatching, so that JUCE can answer the program's clipboard requests. Its
    standard output goes through a file: a program that leaves a child behind
    (xclip -i does) must not keep a pipe of ours open. */
Result runPumping (juce::StringArray const& arguments)
{
    auto outputFile = TestEnvironment::getTemp().getNonexistentChildFile ("output", ".bin");
    juce::StringArray command { "/bin/sh", "-c", "exec \"$0\" \"$@\" >" + outputFile.getFullPathName().quoted ('\'') };
    command.addArray (arguments);

    juce::ChildProcess child;
    Result result;

    if (! child.start (command, 0))
        return result;

    auto deadline = juce::Time::getMillisecondCounter() + 10000;

    while (child.isRunning() && juce::Time::getMillisecondCounter() < deadline)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (5);

    result.finished = ! child.isRunning();

    if (! result.finished)
        child.kill();

    result.exitCode = (int) child.getExitCode();
    juce::MemoryBlock bytes;
    outputFile.loadFileAsData (bytes);
    result.output.assign (static_cast<const char*> (bytes.getData()), bytes.getSize());
    outputFile.deleteFile();
    return result;
}

/** What "xclip -selection clipboard -o" gives for a target. */
Result readWithXclip (juce::String const& target)
{
    return runPumping ({ "xclip", "-selection", "clipboard", "-t", target, "-o" });
}

/** Makes xclip own the clipboard with the given bytes of the given target;
    xclip stays in the background until it loses the clipboard. */
void writeWithXclip (juce::String const& target, std::string const& bytes)
{
    auto source = TestEnvironment::getTemp().getNonexistentChildFile ("xclip-in", ".bin");
    ASSERT_TRUE (source.replaceWithData (bytes.data(), bytes.size()));

    auto result = runPumping ({ "xclip", "-selection", "clipboard", "-t", target, "-i", source.getFullPathName() });
    ASSERT_TRUE (result.finished);
    ASSERT_EQ (result.exitCode, 0);

    // xclip takes the clipboard in the child it leaves behind, a moment later.
    auto deadline = juce::Time::getMillisecondCounter() + 5000;

    while (readWithXclip ("TARGETS").output.find (target.toStdString()) == std::string::npos)
        ASSERT_LT (juce::Time::getMillisecondCounter(), deadline) << "xclip did not take the clipboard";
}

juce::File makeFile (juce::String const& relativePath)
{
    auto file = TestEnvironment::getTemp().getChildFile (relativePath);
    file.create();
    return file;
}

/** Pumps the message thread until 'done' holds (at most 5 s). */
template <typename Predicate>
bool pumpUntil (Predicate done)
{
    auto deadline = juce::Time::getMillisecondCounter() + 5000;

    while (! done() && juce::Time::getMillisecondCounter() < deadline)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);

    return done();
}
} // namespace

TEST (X11Pasteboard, FilesWeWriteAreWhatOtherClientsRead)
{
    X11Pasteboard board;
    ASSERT_TRUE (board.isConnected());

    auto spaced = makeFile ("with space.txt");
    auto accented = makeFile (juce::String (juce::CharPointer_UTF8 ("caf\xc3\xa9#1.txt")));
    auto folder = TestEnvironment::getTemp().getChildFile ("Docs");
    ASSERT_TRUE (folder.createDirectory());
    auto missing = TestEnvironment::getTemp().getChildFile ("gone.txt");

    board.clear();
    ASSERT_TRUE (board.writeFiles ({ spaced, missing, accented, folder }));

    auto uris = readWithXclip ("text/uri-list");
    ASSERT_TRUE (uris.finished);
    EXPECT_EQ (uris.exitCode, 0);
    auto base = FileUriList::fileUri (TestEnvironment::getTemp().getFullPathName()).toStdString();
    EXPECT_EQ (uris.output, base + "/with%20space.txt\r\n" + base + "/caf%C3%A9%231.txt\r\n" + base + "/Docs\r\n");

    auto text = readWithXclip ("UTF8_STRING");
    EXPECT_EQ (text.output, (spaced.getFullPathName() + "\n" + accented.getFullPathName() + "\n"
                             + folder.getFullPathName()).toStdString());

    auto targets = readWithXclip ("TARGETS");
    juce::StringArray offered;
    offered.addLines (juce::String (targets.output));
    offered.removeEmptyStrings();
    EXPECT_THAT (toVector (offered), IsSupersetOf ({ "TARGETS", "TIMESTAMP", "text/uri-list", "UTF8_STRING" }));

    EXPECT_THAT (toVector (board.readFilePaths()),
                 ElementsAre (spaced.getFullPathName().toStdString(), accented.getFullPathName().toStdString(),
                              folder.getFullPathName().toStdString()));

    // A second write adds to the list that is on the clipboard.
    auto later = makeFile ("later");
    ASSERT_TRUE (board.writeFiles ({ later }));
    EXPECT_EQ (board.readFilePaths().size(), 4);
    EXPECT_EQ (readWithXclip ("text/uri-list").output.substr (uris.output.size()), base + "/later\r\n");

    EXPECT_FALSE (board.writeFiles ({ missing })) << "nothing to write";
    EXPECT_EQ (board.readFilePaths().size(), 4) << "a refused write leaves the clipboard as it was";
    board.clear();
}

TEST (X11Pasteboard, ReadsTheUriListsOfOtherClientsAndNothingFromText)
{
    X11Pasteboard board;
    writeWithXclip ("text/uri-list", "# a comment\r\nfile:///srv/a%20b.txt\r\nhttps://example.com/docs/page?x=1\r\n"
                                     "\r\nfile://localhost/srv/c\n");

    EXPECT_THAT (toVector (board.readFilePaths()), ElementsAre ("/srv/a b.txt", "/docs/page", "/srv/c"));

    writeWithXclip ("UTF8_STRING", "just text");
    EXPECT_TRUE (board.readFilePaths().isEmpty());
    EXPECT_EQ (board.getText(), "just text");

    board.clear(); // ends the background xclip
}

TEST (X11Pasteboard, LargeListsArriveWholeThroughIncrementalTransfer)
{
    X11Pasteboard board;
    std::string list;
    constexpr int count = 30000; // about 1.3 MB: more than xclip sends in one piece

    for (int i = 0; i < count; ++i)
        list += "file:///srv/some/longer/folder/name/file-number-" + std::to_string (i) + ".dat\r\n";

    writeWithXclip ("text/uri-list", list);
    auto paths = board.readFilePaths();
    ASSERT_EQ (paths.size(), count);
    EXPECT_EQ (paths[0], "/srv/some/longer/folder/name/file-number-0.dat");
    EXPECT_EQ (paths[count - 1], "/srv/some/longer/folder/name/file-number-29999.dat");
    board.clear();
}

TEST (X11Pasteboard, TextRoundTripsInBothDirectionsFromAnyThread)
{
    X11Pasteboard board;
    auto const accented = juce::String (juce::CharPointer_UTF8 ("h\xc3\xa9llo w\xc3\xb6rld"));

    board.setString (accented);
    auto read = readWithXclip ("UTF8_STRING");
    ASSERT_TRUE (read.finished);
    EXPECT_EQ (juce::String::fromUTF8 (read.output.data(), (int) read.output.size()), accented);
    EXPECT_TRUE (board.readFilePaths().isEmpty()) << "text is no file list";

    writeWithXclip ("UTF8_STRING", "from xclip");
    EXPECT_EQ (board.getText(), "from xclip");

    // The connection thread and the socket thread use the pasteboard too.
    std::atomic<bool> done { false };
    juce::String seen;
    std::thread other ([&]
    {
        board.setString ("from a thread");
        seen = board.getText();
        done = true;
    });

    EXPECT_TRUE (pumpUntil ([&] { return done.load(); }));
    other.join();
    EXPECT_EQ (seen, "from a thread");
    EXPECT_EQ (readWithXclip ("UTF8_STRING").output, "from a thread");
}

TEST (X11Pasteboard, ClearingEmptiesWhatEveryoneReads)
{
    X11Pasteboard board;
    auto start = board.getChangeCount();

    board.setString ("secret");
    auto afterText = board.clear();
    EXPECT_EQ (afterText, start + 2);
    EXPECT_EQ (board.getChangeCount(), afterText);

    auto text = readWithXclip ("UTF8_STRING");
    EXPECT_TRUE (text.finished);
    EXPECT_EQ (text.output, "");
    EXPECT_EQ (board.getText(), "") << "nor does JUCE fall back to an old PRIMARY claim of ours";

    ASSERT_TRUE (board.writeFiles ({ makeFile ("f") }));
    EXPECT_EQ (board.clear(), afterText + 1);
    EXPECT_EQ (readWithXclip ("text/uri-list").output, "");
    EXPECT_TRUE (board.readFilePaths().isEmpty());

    // Another program's contents go too.
    writeWithXclip ("text/uri-list", "file:///x\r\n");
    ASSERT_EQ (board.readFilePaths().size(), 1);
    board.clear();
    EXPECT_TRUE (board.readFilePaths().isEmpty());
    EXPECT_EQ (readWithXclip ("text/uri-list").output, "");
}

TEST (X11Pasteboard, TextReplacesOurFileListAndFilesReplaceText)
{
    X11Pasteboard board;
    ASSERT_TRUE (board.writeFiles ({ makeFile ("one") }));
    board.setString ("now text");
    EXPECT_TRUE (board.readFilePaths().isEmpty());
    EXPECT_EQ (board.getText(), "now text");

    ASSERT_TRUE (board.writeFiles ({ makeFile ("two") }));
    EXPECT_EQ (board.readFilePaths().size(), 1) << "the old list is gone: only the new file";
    EXPECT_EQ (board.getText(), TestEnvironment::getTemp().getChildFile ("two").getFullPathName());
    board.clear();
}
