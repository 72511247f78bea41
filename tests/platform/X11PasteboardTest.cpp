// The X11 clipboard against xclip, another X client, in both directions.

#include "platform/FileUriList.h"
#include "platform/x11/X11Pasteboard.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>
#include <juce_events/juce_events.h>

#include <thread>

namespace
{
/** Runs xclip on the clipboard to its end (at most 10 s) while the message
    thread keeps dispatching, so that JUCE can answer its requests; returns its
    standard output. That goes through a file: xclip -i leaves a child behind,
    which must not keep a pipe of ours open. */
std::string xclip (juce::StringArray const& arguments)
{
    auto output = TestEnvironment::getTemp().getNonexistentChildFile ("xclip-out", ".bin");
    juce::StringArray command { "/bin/sh", "-c", "exec xclip -selection clipboard \"$@\" >" + output.getFullPathName().quoted ('\''), "xclip" };
    command.addArray (arguments);
    juce::ChildProcess child;

    if (! child.start (command, 0) || ! TestEnvironment::waitUntil ([&] { return ! child.isRunning(); }, 10000))
        ADD_FAILURE() << "xclip did not run to its end: " << arguments.joinIntoString (" ");

    auto bytes = output.loadFileAsString().toStdString();
    output.deleteFile();
    return bytes;
}

std::string xclipRead (juce::String const& target) { return xclip ({ "-t", target, "-o" }); }

/** Makes xclip own the clipboard with these bytes of that target, as it does
    in the child it leaves behind, a moment later. */
void xclipWrite (juce::String const& target, std::string const& bytes)
{
    auto source = TestEnvironment::getTemp().getNonexistentChildFile ("xclip-in", ".bin");
    ASSERT_TRUE (source.replaceWithData (bytes.data(), bytes.size()));
    xclip ({ "-t", target, "-i", source.getFullPathName() });
    ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return xclipRead ("TARGETS").find (target.toStdString()) != std::string::npos; }, 5000))
        << "xclip did not take the clipboard";
}

juce::File makeFile (juce::String const& name)
{
    auto file = TestEnvironment::getTemp().getChildFile (name);
    file.create();
    return file;
}
} // namespace

TEST (X11Pasteboard, WhatWeWriteIsWhatXclipReads)
{
    X11Pasteboard board;
    ASSERT_TRUE (board.isConnected());

    auto spaced = makeFile ("with space.txt"), accented = makeFile (juce::CharPointer_UTF8 ("caf\xc3\xa9#1.txt"));
    auto folder = TestEnvironment::getTemp().getChildFile ("Docs");
    ASSERT_TRUE (folder.createDirectory());
    auto missing = TestEnvironment::getTemp().getChildFile ("gone.txt");

    // Files: the URI list (missing paths skipped), the paths as text, the targets other clients look for.
    ASSERT_TRUE (board.writeFiles ({ spaced, missing, accented, folder }));
    auto base = FileUriList::fileUri (TestEnvironment::getTemp().getFullPathName()).toStdString();
    auto uris = base + "/with%20space.txt\r\n" + base + "/caf%C3%A9%231.txt\r\n" + base + "/Docs\r\n";
    EXPECT_EQ (xclipRead ("text/uri-list"), uris);
    auto paths = spaced.getFullPathName() + "\n" + accented.getFullPathName() + "\n" + folder.getFullPathName();
    EXPECT_EQ (xclipRead ("UTF8_STRING"), paths.toStdString());
    auto targets = juce::StringArray::fromLines (xclipRead ("TARGETS"));

    for (auto* target : { "TARGETS", "TIMESTAMP", "text/uri-list", "UTF8_STRING" })
        EXPECT_TRUE (targets.contains (target)) << target;

    EXPECT_EQ (board.readFilePaths().joinIntoString ("\n"), paths);

    // A second write adds to the list; a refused one leaves it as it was.
    ASSERT_TRUE (board.writeFiles ({ makeFile ("later") }));
    EXPECT_FALSE (board.writeFiles ({ missing }));
    EXPECT_EQ (xclipRead ("text/uri-list"), uris + base + "/later\r\n");

    // Text replaces the file list, from any thread (the connection and socket threads use it too).
    const auto text = juce::String (juce::CharPointer_UTF8 ("h\xc3\xa9llo w\xc3\xb6rld"));
    std::thread other ([&] { board.setString (text); });
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return board.getText() == text; }));
    other.join();
    EXPECT_EQ (xclipRead ("UTF8_STRING"), text.toStdString());
    EXPECT_TRUE (board.readFilePaths().isEmpty());

    // Files replace text; clearing empties what everyone reads and counts.
    ASSERT_TRUE (board.writeFiles ({ spaced }));
    EXPECT_EQ (board.getText(), spaced.getFullPathName());
    const int count = board.getChangeCount();
    EXPECT_EQ (board.clear(), count + 1);
    EXPECT_EQ (xclipRead ("text/uri-list"), "");
    EXPECT_EQ (xclipRead ("UTF8_STRING"), "");
    EXPECT_EQ (board.getText(), "") << "nor does JUCE fall back to an old PRIMARY claim of ours";
    EXPECT_TRUE (board.readFilePaths().isEmpty());
}

TEST (X11Pasteboard, WhatXclipWritesIsWhatWeRead)
{
    X11Pasteboard board;
    xclipWrite ("text/uri-list", "# a comment\r\nfile:///srv/a%20b.txt\r\nhttps://example.com/docs/page?x=1\r\n"
                                 "\r\nfile://localhost/srv/c\n");
    EXPECT_EQ (board.readFilePaths().joinIntoString ("|"), "/srv/a b.txt|/docs/page|/srv/c");

    xclipWrite ("UTF8_STRING", "just text");
    EXPECT_TRUE (board.readFilePaths().isEmpty());
    EXPECT_EQ (board.getText(), "just text");

    // About 1.3 MB: more than xclip sends in one piece (an INCR transfer).
    std::string list;

    for (int i = 0; i < 30000; ++i)
        list += "file:///srv/some/longer/folder/name/file-number-" + std::to_string (i) + ".dat\r\n";

    xclipWrite ("text/uri-list", list);
    auto paths = board.readFilePaths();
    ASSERT_EQ (paths.size(), 30000);
    EXPECT_EQ (paths[29999], "/srv/some/longer/folder/name/file-number-29999.dat");

    // Clearing takes another program's contents away too (and ends the background xclip).
    board.clear();
    EXPECT_TRUE (board.readFilePaths().isEmpty());
    EXPECT_EQ (xclipRead ("text/uri-list"), "");
}
