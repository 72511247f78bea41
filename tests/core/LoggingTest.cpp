#include "core/Logging.h"
#include "core/SingletonApplicationProperties.h"
#include "core/AppFolders.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <ctime>

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace
{
const juce::String stars = juce::String::repeatedString ("*", 58);

juce::String readAll (juce::File const& file)
{
    juce::MemoryBlock block;
    file.loadFileAsData (block);
    return block.toString();
}

void setTimeZone (const char* zone)
{
    setenv ("TZ", zone, 1);
    tzset();
}

// Restores the installed logger even when a test fails half-way.
struct LoggerGuard
{
    std::unique_ptr<juce::FileLogger> logger;
    ~LoggerGuard() { Logging::stop(); }
};
} // namespace

TEST (Logging, FilesLiveInOnePerUserConfigFolder)
{
    auto folder = TestEnvironment::getHome().getChildFile (".config/Corvelline");
    EXPECT_EQ (AppFolders::getUserFolder(), folder);
    EXPECT_EQ (AppFolders::getLogFile(), folder.getChildFile ("CorvellineLog.txt"));
    EXPECT_EQ (SingletonApplicationProperties::makeOptions().getDefaultFile(),
               folder.getChildFile ("Corvelline.settings"));
}

TEST (Logging, LineIsIsoTimeBlankMessageWithZAtZeroOffset)
{
    setTimeZone ("UTC");
    juce::Time time (2026, 11, 6, 13, 50, 2, 5, true);
    EXPECT_EQ (Logging::formatLine (time, "Hello there"), "2026-12-06T13:50:02.005Z Hello there");

    setTimeZone ("EST5");
    EXPECT_EQ (Logging::formatLine (time, "x"), "2026-12-06T08:50:02.005-05:00 x");
    setTimeZone ("UTC");
}

TEST (Logging, EachStartAppendsOneBannerAndOneNetworkLine)
{
    setTimeZone ("UTC");
    LoggerGuard guard;
    auto file = AppFolders::getLogFile();

    Logging::start (guard.logger);
    DBGOrLog ("first run");
    Logging::start (guard.logger);

    auto text = readAll (file);
    auto banner = "\r\n" + stars + "\r\nWelcome to v1.0.0\r\nLog started: ";
    EXPECT_TRUE (text.startsWith (banner));

    juce::StringArray lines;
    lines.addTokens (text, "\n", {});
    int banners = 0, networkLines = 0;

    for (auto& line : lines)
    {
        EXPECT_TRUE (line.isEmpty() || line.endsWithChar ('\r')) << line;
        banners += line == stars + "\r" ? 1 : 0;
        networkLines += line.contains ("Network") ? 1 : 0;
    }

    EXPECT_EQ (banners, 2);
    EXPECT_EQ (networkLines, 2);

    // The test namespace has an address on t0, which is not a loopback interface.
    EXPECT_TRUE (text.contains ("Z Network available at construction\r\n"));
    EXPECT_TRUE (text.contains ("Z first run\r\n"));
    // "Log started: " carries JUCE's 12-hour time with am/pm.
    EXPECT_TRUE (text.fromFirstOccurrenceOf ("Log started: ", false, false)
                     .upToFirstOccurrenceOf ("\r\n", false, false)
                     .containsAnyOf ("ap"));
}

TEST (Logging, OnlyLoopbackInterfacesMeanNoNetwork)
{
    ASSERT_TRUE (TestEnvironment::enterLoopbackOnlyNamespace());
    EXPECT_FALSE (Logging::isNetworkAvailable());

    LoggerGuard guard;
    Logging::start (guard.logger);
    EXPECT_THAT (readAll (AppFolders::getLogFile()).toStdString(),
                 EndsWith (" Network not available at construction\r\n"));
}

TEST (Logging, LongLogIsTrimmedTwiceFromALineBreak)
{
    auto file = AppFolders::getLogFile();
    file.getParentDirectory().createDirectory();

    juce::String old;
    for (int i = 0; old.length() < 200000; ++i)
        old << "old line " << i << "\r\n";
    ASSERT_TRUE (file.replaceWithText (old, false, false, nullptr));

    auto logger = Logging::createLogger (file);
    auto text = readAll (file);

    EXPECT_LE (file.getSize(), Logging::sizeLimit);
    EXPECT_GT (file.getSize(), Logging::sizeLimit - 100);
    // Whole lines survive: the kept part starts right after a line break.
    auto firstLine = text.upToFirstOccurrenceOf ("\n", false, false).trimCharactersAtStart ("\r\n");
    EXPECT_TRUE (firstLine.isEmpty() || firstLine.startsWith ("old line ")) << firstLine;
    EXPECT_FALSE (text.contains ("old line 0\r\n"));
    // The banner is the last thing in the file.
    EXPECT_TRUE (text.fromLastOccurrenceOf ("old line ", false, false)
                     .fromFirstOccurrenceOf ("\r\n", false, false)
                     .startsWith ("\r\n" + stars + "\r\nWelcome to v1.0.0\r\nLog started: "));
    EXPECT_TRUE (text.endsWith ("\r\n\r\n"));
}

TEST (Logging, ShortLogOnlyReceivesTheBanner)
{
    auto file = AppFolders::getLogFile();
    file.getParentDirectory().createDirectory();
    juce::String old = juce::String::repeatedString ("kept\r\n", 1000);
    ASSERT_TRUE (file.replaceWithText (old, false, false, nullptr));

    auto logger = Logging::createLogger (file);
    auto text = readAll (file);
    EXPECT_TRUE (text.startsWith (old));
    EXPECT_TRUE (text.fromFirstOccurrenceOf (old, false, false).startsWith ("\r\n" + stars));
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

TEST (Settings, FileHoldsOnlyTheKeysWritten)
{
    SingletonApplicationProperties::configure();
    auto* settings = SingletonApplicationProperties::get().getUserSettings();
    ASSERT_NE (settings, nullptr);
    EXPECT_EQ (settings->getIntValue ("clusterID", -1), -1);

    settings->setValue ("clusterID", 4242);
    ASSERT_TRUE (settings->saveIfNeeded());

    auto file = AppFolders::getSettingsFile();
    ASSERT_TRUE (file.existsAsFile());
    auto xml = juce::parseXML (file);
    ASSERT_NE (xml, nullptr);

    juce::StringArray keys;
    for (auto* value : xml->getChildIterator())
        keys.add (value->getStringAttribute ("name"));

    EXPECT_EQ (keys, juce::StringArray ("clusterID"));
    EXPECT_EQ (xml->getChildElement (0)->getStringAttribute ("val"), "4242");
}
