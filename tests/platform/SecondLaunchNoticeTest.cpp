#include "platform/SecondLaunchNotice.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>
#include <juce_events/juce_events.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
/** Gives the test a runtime folder of its own, so that its pipe meets no other
    test's. */
struct OwnRuntimeFolder
{
    OwnRuntimeFolder()
    {
        folder = TestEnvironment::getTemp().getChildFile ("runtime");
        folder.createDirectory();
        setenv ("XDG_RUNTIME_DIR", folder.getFullPathName().toRawUTF8(), 1);
    }

    ~OwnRuntimeFolder() { unsetenv ("XDG_RUNTIME_DIR"); }

    juce::File fifo (const char* suffix) const
    {
        return folder.getChildFile (SecondLaunchNotice::getPipeName() + suffix);
    }

    juce::File folder;
};

template <typename Predicate>
bool pumpUntil (Predicate done, int timeoutMs = 10000)
{
    auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! done() && juce::Time::getMillisecondCounter() < deadline)
        juce::MessageManager::getInstance()->runDispatchLoopUntil (10);

    return done();
}

bool isFifo (juce::File const& file)
{
    struct stat info {};
    return lstat (file.getFullPathName().toRawUTF8(), &info) == 0 && S_ISFIFO (info.st_mode);
}

/** Sends from another thread while the message thread keeps dispatching. */
bool tellFromAnotherThread (juce::String const& commandLine)
{
    std::atomic<int> result { -1 };
    std::thread sender ([&] { result = SecondLaunchNotice::tellRunningInstance (commandLine) ? 1 : 0; });
    pumpUntil ([&] { return result.load() >= 0; });
    sender.join();
    return result.load() == 1;
}
} // namespace

TEST (SecondLaunchNotice, TheListenerHearsEveryLaunchOnTheMessageThread)
{
    OwnRuntimeFolder runtime;
    juce::StringArray heard;
    bool onMessageThread = true;

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

        EXPECT_TRUE (tellFromAnotherThread ("--first"));
        EXPECT_TRUE (tellFromAnotherThread (juce::String (juce::CharPointer_UTF8 ("\"two words\" caf\xc3\xa9"))));
        EXPECT_TRUE (tellFromAnotherThread (""));
        ASSERT_TRUE (pumpUntil ([&] { return heard.size() == 3; }));
        EXPECT_EQ (heard[0], "--first");
        EXPECT_EQ (heard[1], juce::String (juce::CharPointer_UTF8 ("\"two words\" caf\xc3\xa9")));
        EXPECT_EQ (heard[2], "");
        EXPECT_TRUE (onMessageThread);

        // A very long command line arrives cut, in one piece.
        EXPECT_TRUE (tellFromAnotherThread (juce::String::repeatedString ("x", 10000)));
        ASSERT_TRUE (pumpUntil ([&] { return heard.size() == 4; }));
        EXPECT_EQ (heard[3].length(), 3500);
    }

    EXPECT_FALSE (runtime.fifo ("_in").exists()) << "the listener removes its pipe";
    EXPECT_FALSE (runtime.fifo ("_out").exists());
    EXPECT_FALSE (SecondLaunchNotice::tellRunningInstance ("--late", 200));
}

TEST (SecondLaunchNotice, RecoversFromACrashsFifosAndFromGarbage)
{
    OwnRuntimeFolder runtime;

    // What a crashed instance leaves: its FIFOs, with nobody reading.
    ASSERT_EQ (mkfifo (runtime.fifo ("_in").getFullPathName().toRawUTF8(), 0600), 0);
    ASSERT_EQ (mkfifo (runtime.fifo ("_out").getFullPathName().toRawUTF8(), 0600), 0);

    auto started = juce::Time::getMillisecondCounter();
    EXPECT_FALSE (SecondLaunchNotice::tellRunningInstance ("--nobody-listens", 300));
    EXPECT_LT (juce::Time::getMillisecondCounter() - started, 5000u);

    juce::StringArray heard;
    SecondLaunchNotice notice ([&] (juce::String const& commandLine) { heard.add (commandLine); });
    ASSERT_TRUE (notice.isListening());

    // Something that is no notice, then a notice: the listener starts afresh.
    {
        auto fd = open (runtime.fifo ("_in").getFullPathName().toRawUTF8(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE (fd, 0);
        const char junk[] = "this is not a notice at all";
        EXPECT_EQ (write (fd, junk, sizeof (junk)), (ssize_t) sizeof (junk));
        close (fd);
    }

    juce::MessageManager::getInstance()->runDispatchLoopUntil (300); // let it start afresh
    EXPECT_TRUE (tellFromAnotherThread ("--after-junk"));
    ASSERT_TRUE (pumpUntil ([&] { return heard.contains ("--after-junk"); }));
    EXPECT_EQ (heard.size(), 1);
    EXPECT_TRUE (isFifo (runtime.fifo ("_in")));
}

TEST (SecondLaunchNotice, NeverUsesAPathThatIsNotThisUsersFifo)
{
    OwnRuntimeFolder runtime;
    ASSERT_TRUE (runtime.fifo ("_in").replaceWithText ("a plain file"));

    SecondLaunchNotice notice ([] (juce::String const&) {});
    EXPECT_FALSE (notice.isListening());
    EXPECT_FALSE (SecondLaunchNotice::tellRunningInstance ("--x", 200));
    EXPECT_EQ (runtime.fifo ("_in").loadFileAsString(), "a plain file");
}

TEST (SecondLaunchNotice, ASecondProcessReachesTheFirstAndQuits)
{
    OwnRuntimeFolder runtime;
    auto reports = TestEnvironment::getTemp().getChildFile ("reports");
    ASSERT_TRUE (reports.createDirectory());
    setenv ("CORVELLINE_PROBE_DIR", reports.getFullPathName().toRawUTF8(), 1);

    // JUCE's lock lives in /var/tmp, which the test sandbox keeps private.
    juce::ChildProcess first;
    ASSERT_TRUE (first.start (juce::StringArray { SECOND_LAUNCH_PROBE }, 0));
    ASSERT_TRUE (pumpUntil ([&] { return reports.getChildFile ("ready").exists() || ! first.isRunning(); }, 20000));
    ASSERT_EQ (reports.getChildFile ("ready").loadFileAsString(), "listening");

    juce::ChildProcess second;
    ASSERT_TRUE (second.start (juce::StringArray { SECOND_LAUNCH_PROBE, "--open", "a b" }, 0));
    EXPECT_TRUE (second.waitForProcessToFinish (20000)) << "the second launch must quit";
    EXPECT_EQ (second.getExitCode(), 0u);
    EXPECT_EQ (reports.getChildFile ("refused").loadFileAsString(), "told");

    ASSERT_TRUE (pumpUntil ([&] { return reports.getChildFile ("heard").exists(); }));
    EXPECT_EQ (reports.getChildFile ("heard").loadFileAsString().toStdString(), "--open \"a b\"\n");
    EXPECT_TRUE (first.isRunning()) << "the first instance runs on";

    juce::ChildProcess third;
    ASSERT_TRUE (third.start (juce::StringArray { SECOND_LAUNCH_PROBE, "--quit" }, 0));
    EXPECT_TRUE (third.waitForProcessToFinish (20000));
    EXPECT_TRUE (first.waitForProcessToFinish (20000)) << "the first instance heard --quit";

    if (first.isRunning())
        first.kill();

    EXPECT_FALSE (runtime.fifo ("_in").exists()) << "the pipe goes with the instance";
}
