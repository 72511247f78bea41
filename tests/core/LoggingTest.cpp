#include "core/Logging.h"
#include "core/AppFolders.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <ctime>

namespace
{
const juce::String stars = juce::String::repeatedString ("*", 58);
const juce::String banner = "\r\n" + stars + "\r\nWelcome to v1.0.0\r\nLog started: ";

juce::String readAll (juce::File const& file)
{
    juce::MemoryBlock block;
    file.loadFileAsData (block);
    return block.toString();
}

int occurrences (juce::String const& text, juce::String const& fragment)
{
    return (text.length() - text.replace (fragment, "").length()) / fragment.length();
}

// The log file just after a logger was made for it.
juce::String afterCreatingLogger (juce::File const& file)
{
    auto logger = Logging::createLogger (file);
    return readAll (file);
}

// Restores the installed logger even when a test fails half-way.
struct LoggerGuard
{
    std::unique_ptr<juce::FileLogger> logger;
    ~LoggerGuard() { Logging::stop(); }
};
} // namespace

TEST (Logging, EachStartAppendsOneBannerAndOneNetworkLineAndLinesAreStamped)
{
    setenv ("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ (Logging::formatLine (juce::Time (2026, 11, 6, 13, 50, 2, 5, true), "Hello there"), "2026-12-06T13:50:02.005Z Hello there");

    LoggerGuard guard;
    Logging::start (guard.logger);
    DBGOrLog ("first run");
    Logging::start (guard.logger);

    auto text = readAll (AppFolders::getLogFile());
    EXPECT_TRUE (text.startsWith (banner));
    EXPECT_EQ (occurrences (text, stars), 2);
    EXPECT_EQ (occurrences (text, "Z Network available at construction\r\n"), 2);
    EXPECT_TRUE (text.contains ("Z first run\r\n"));
    // "Log started: " carries JUCE's 12-hour time with am/pm.
    EXPECT_TRUE (text.fromFirstOccurrenceOf ("Log started: ", false, false).upToFirstOccurrenceOf ("\r\n", false, false).containsAnyOf ("ap"));
}

TEST (Logging, OnlyLoopbackInterfacesMeanNoNetwork)
{
    ASSERT_TRUE (TestEnvironment::enterLoopbackOnlyNamespace());
    EXPECT_FALSE (Logging::isNetworkAvailable());

    LoggerGuard guard;
    Logging::start (guard.logger);
    EXPECT_TRUE (readAll (AppFolders::getLogFile()).endsWith (" Network not available at construction\r\n"));
}

TEST (Logging, ALongLogIsTrimmedFromALineBreakAShortOneKept)
{
    auto file = AppFolders::getLogFile();
    file.getParentDirectory().createDirectory();

    juce::MemoryOutputStream old;
    for (int i = 0; old.getDataSize() < 200000; ++i)
        old << "old line " << i << "\r\n";
    ASSERT_TRUE (file.replaceWithText (old.toString(), false, false, nullptr));

    auto text = afterCreatingLogger (file);
    EXPECT_LE (file.getSize(), Logging::sizeLimit);
    EXPECT_GT (file.getSize(), Logging::sizeLimit - 100);
    // Whole lines survive: the kept part starts right after a line break, the banner ends it.
    auto firstLine = text.upToFirstOccurrenceOf ("\n", false, false).trimCharactersAtStart ("\r\n");
    EXPECT_TRUE (firstLine.isEmpty() || firstLine.startsWith ("old line ")) << firstLine;
    EXPECT_FALSE (text.contains ("old line 0\r\n"));
    EXPECT_TRUE (text.fromLastOccurrenceOf ("old line ", false, false).fromFirstOccurrenceOf ("\r\n", false, false).startsWith (banner));

    juce::String kept = juce::String::repeatedString ("kept\r\n", 1000);
    ASSERT_TRUE (file.replaceWithText (kept, false, false, nullptr));
    EXPECT_TRUE (afterCreatingLogger (file).startsWith (kept + banner));
}

TEST (Logging, NothingIsWrittenWithoutALogger)
{
    LoggerGuard guard;
    Logging::start (guard.logger);
    DBGOrLog ("before");
    Logging::stop();

    auto before = readAll (AppFolders::getLogFile());
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    DBGOrLog ("after");
    EXPECT_EQ (testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ (testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ (readAll (AppFolders::getLogFile()), before);
    EXPECT_TRUE (before.contains (" before\r\n"));
}

TEST (Logging, ReceivedTextsAreLoggedAsExcerptsWithTheirLength)
{
    // Characters count, not bytes: é takes two.
    auto const limit = juce::String::repeatedString (juce::CharPointer_UTF8 ("\xc3\xa9"), Logging::maxExcerptLength);
    EXPECT_EQ (Logging::excerpt (""), "");
    EXPECT_EQ (Logging::excerpt (limit), limit);
    EXPECT_EQ (Logging::excerpt (limit + "x"), limit + "... (" + juce::String (Logging::maxExcerptLength + 1) + " characters)");

    auto const longer = juce::String::repeatedString ("0123456789", 100000);
    EXPECT_EQ (Logging::excerpt (longer), longer.substring (0, Logging::maxExcerptLength) + "... (1000000 characters)");
}

TEST (Logging, ARunningLogIsTrimmedFromALineBreakWhenItPassesItsLimit)
{
    LoggerGuard guard;
    Logging::start (guard.logger);
    auto const file = AppFolders::getLogFile();
    auto const line = juce::String::repeatedString ("x", 990);

    for (int i = 0; file.getSize() <= Logging::runningSizeLimit - 5000; ++i)
        DBGOrLog ("line " + juce::String (i) + " " + line);

    for (int i = 0; i < 2000; ++i)
        DBGOrLog ("later " + juce::String (i) + " " + line);

    EXPECT_LE (file.getSize(), Logging::runningSizeLimit);
    EXPECT_GE (file.getSize(), Logging::runningTrimSize - 1100);

    // Whole lines survive, each with its stamp, the newest last.
    auto lines = juce::StringArray::fromLines (readAll (file).trimCharactersAtStart ("\r\n"));
    lines.removeEmptyStrings();
    ASSERT_GT (lines.size(), 400);

    for (auto const& l : lines)
    {
        auto const stamp = l.upToFirstOccurrenceOf (" ", false, false);
        ASSERT_TRUE (stamp.length() >= 20 && stamp[4] == '-' && stamp[10] == 'T' && l.endsWith (" " + line)) << l.substring (0, 60);
    }

    EXPECT_TRUE (lines[lines.size() - 1].contains (" later 1999 "));
}
