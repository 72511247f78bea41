#include "platform/SecondLaunchNotice.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>
#include <juce_events/juce_events.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using TestEnvironment::waitUntil;

namespace
{
/** Gives the test a runtime folder of its own, so that its pipe meets no other test's. */
struct OwnRuntimeFolder
{
    OwnRuntimeFolder() { setenv ("XDG_RUNTIME_DIR", folder.getFullPathName().toRawUTF8(), 1); }
    ~OwnRuntimeFolder() { unsetenv ("XDG_RUNTIME_DIR"); }

    juce::File fifo (const char* suffix) const { return folder.getChildFile (SecondLaunchNotice::getPipeName() + suffix); }

    juce::File folder = [] { auto f = TestEnvironment::getTemp().getChildFile ("runtime"); f.createDirectory(); return f; }();
};

/** Sends from another thread while the message thread keeps dispatching. */
bool tellFromAnotherThread (juce::String const& commandLine)
{
    std::atomic<int> result { -1 };
    std::thread sender ([&] { result = SecondLaunchNotice::tellRunningInstance (commandLine) ? 1 : 0; });
    waitUntil ([&] { return result.load() >= 0; });
    sender.join();
    return result.load() == 1;
}
} // namespace

TEST (SecondLaunchNotice, TheListenerHearsEveryLaunchOnTheMessageThread)
{
    OwnRuntimeFolder runtime;
    juce::StringArray heard;
    bool onMessageThread = true;
    const auto quotedAccented = juce::String (juce::CharPointer_UTF8 ("\"two words\" caf\xc3\xa9"));

    {
        SecondLaunchNotice notice ([&] (juce::String const& commandLine)
        {
            onMessageThread = onMessageThread && juce::MessageManager::getInstance()->isThisTheMessageThread();
            heard.add (commandLine);
        });
        ASSERT_TRUE (notice.isListening());

        struct stat info {};
        ASSERT_EQ (lstat (runtime.fifo ("_in").getFullPathName().toRawUTF8(), &info), 0);
        EXPECT_EQ (info.st_mode & 0777, 0600u) << "only this user may write to it";

        // A very long command line arrives cut, in one piece.
        for (auto& commandLine : { juce::String ("--first"), quotedAccented, juce::String(), juce::String::repeatedString ("x", 10000) })
            EXPECT_TRUE (tellFromAnotherThread (commandLine));

        ASSERT_TRUE (waitUntil ([&] { return heard.size() == 4; }));
        EXPECT_EQ (heard.joinIntoString ("|"), "--first|" + quotedAccented + "||" + juce::String::repeatedString ("x", 3500));
        EXPECT_TRUE (onMessageThread);
    }

    EXPECT_FALSE (runtime.fifo ("_in").exists()) << "the listener removes its pipes";
    EXPECT_FALSE (runtime.fifo ("_out").exists());
    EXPECT_FALSE (SecondLaunchNotice::tellRunningInstance ("--late", 200));
}

TEST (SecondLaunchNotice, NeverUsesAForeignPathAndRecoversFromACrashsFifosAndFromGarbage)
{
    OwnRuntimeFolder runtime;

    // A plain file where the pipe belongs is neither listened on nor written to.
    ASSERT_TRUE (runtime.fifo ("_in").replaceWithText ("a plain file"));
    {
        SecondLaunchNotice notice ([] (juce::String const&) {});
        EXPECT_FALSE (notice.isListening());
        EXPECT_FALSE (SecondLaunchNotice::tellRunningInstance ("--x", 200));
        EXPECT_EQ (runtime.fifo ("_in").loadFileAsString(), "a plain file");
    }

    // What a crashed instance leaves: its FIFOs, with nobody reading. A
    // notice gives up in bounded time, and a new listener takes them over.
    ASSERT_TRUE (runtime.fifo ("_in").deleteFile());
    ASSERT_EQ (mkfifo (runtime.fifo ("_in").getFullPathName().toRawUTF8(), 0600), 0);
    ASSERT_EQ (mkfifo (runtime.fifo ("_out").getFullPathName().toRawUTF8(), 0600), 0);
    const auto started = juce::Time::getMillisecondCounter();
    EXPECT_FALSE (SecondLaunchNotice::tellRunningInstance ("--nobody-listens", 300));
    EXPECT_LT (juce::Time::getMillisecondCounter() - started, 5000u);

    juce::StringArray heard;
    SecondLaunchNotice notice ([&] (juce::String const& commandLine) { heard.add (commandLine); });
    ASSERT_TRUE (notice.isListening());

    // Something that is no notice, then a notice: the listener starts afresh.
    const auto fd = open (runtime.fifo ("_in").getFullPathName().toRawUTF8(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE (fd, 0);
    const char junk[] = "this is not a notice at all";
    EXPECT_EQ (write (fd, junk, sizeof (junk)), (ssize_t) sizeof (junk));
    close (fd);
    TestEnvironment::pump (300);
    EXPECT_TRUE (tellFromAnotherThread ("--after-junk"));
    ASSERT_TRUE (waitUntil ([&] { return heard.contains ("--after-junk"); }));
    EXPECT_EQ (heard.size(), 1);
}
