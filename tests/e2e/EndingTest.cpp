// Ending: a second launch is refused and the running instance says so; three
// Escapes on the driving machine end the program cleanly; so does "Quit" from
// the tray menu.
#include "e2e/WholeProgramTest.h"

#include <unistd.h>

using Ending = WholeProgramTest;

namespace
{
// No assertion of JUCE's failed in the program last started, and JUCE found
// nothing leaked (both show in Debug builds).
::testing::AssertionResult leftNoAssertions (SimulatedMachine const& m)
{
    juce::StringArray output;
    output.addLines (m.getProgramOutput().loadFileAsString());

    for (auto const& line : output)
        if (line.startsWith ("JUCE Assertion failure") || line.startsWith ("*** Leaked objects"))
            return ::testing::AssertionFailure() << m.name << "'s program: " << line;

    return ::testing::AssertionSuccess();
}

// The shut-down lines after 'from', in order, with nothing logged after the
// last of them; whether "systemRequestedQuit" came first, and the reason
// logged before, if one is given.
::testing::AssertionResult endedCleanly (SimulatedMachine const& m, int from, bool asked, juce::String const& reason = {})
{
    juce::StringArray lines;
    lines.addLines (m.readLog().substring (from).trimEnd());
    juce::StringArray expected { "Shutdown...", "...socketThread is gone", "...listenerThread too" };

    if (asked)
        expected.insert (0, "systemRequestedQuit");
    else if (lines.joinIntoString ("\n").contains ("systemRequestedQuit"))
        return ::testing::AssertionFailure() << m.name << " logged \"systemRequestedQuit\"";

    if (reason.isNotEmpty())
        expected.insert (0, reason);

    int next = 0;

    for (auto const& line : lines)
        if (next < expected.size() && line.endsWith (" " + expected[next]))
            ++next;

    if (next < expected.size())
        return ::testing::AssertionFailure() << m.name << "'s log lacks \"" << expected[next] << "\" (in order)";

    if (! lines[lines.size() - 1].endsWith (" ...listenerThread too"))
        return ::testing::AssertionFailure() << m.name << " logged after shutting down: " << lines[lines.size() - 1];

    return ::testing::AssertionSuccess();
}
} // namespace

TEST_F (Ending, ASecondLaunchIsRefusedThreeEscapesAndQuitEndTheProgramCleanly)
{
    auto& a = machine ("A", 1920, 1080);
    auto& b = machine ("B", 1440, 900);
    auto const layouts = StoredLayout::toXml ({ { 4200, 1600, { { &a, 400, 300 }, { &b, 2320, 300 } } } });
    a.writeSettings (clusterID, layouts.get());
    b.writeSettings (clusterID, layouts.get());
    ASSERT_TRUE (a.run ("tray"));
    ASSERT_TRUE (startInTurn ({ &a, &b }));
    ASSERT_TRUE (tapsRun ({ &a, &b }));

    // A second launch on B ends at once and leaves the temporary folder, which
    // is the first instance's; the first instance says so and runs on.
    auto const first = b.programPid;
    auto const kept = b.base.getChildFile ("tmp/Corvelline-" + juce::String ((juce::int64) geteuid()) + "/kept");
    ASSERT_TRUE (kept.create().wasOk());
    ASSERT_GT (b.start(), 0);
    EXPECT_EQ (b.waitForExit (20000), 0) << "the second launch did not end";
    EXPECT_TRUE (kept.existsAsFile()) << "the second launch removed the first one's temporary folder";
    EXPECT_TRUE (leftNoAssertions (b));
    EXPECT_TRUE (b.waitForWindow ("Already running!"));
    EXPECT_EQ (b.ask ("exited " + juce::String (first)), "running");
    b.programPid = first;

    // Three Escapes on A while it drives B end A's program.
    ASSERT_TRUE (crossInto (a, { 1900, 540 }, { 1919, 540 }, b));
    auto mark = a.logLength();

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE (a.tap (Keys::escape));

    EXPECT_EQ (a.waitForExit (20000), 0);
    EXPECT_TRUE (endedCleanly (a, mark, false, "Quitting on three Escapes"));
    EXPECT_TRUE (leftNoAssertions (a));

    // Started again, A rejoins; "Quit" from its tray menu ends it.
    auto const markB = b.logLength();
    ASSERT_GT (a.start(), 0);
    ASSERT_TRUE (knows (a, b, mark) && knows (b, a, markB));
    ASSERT_TRUE (a.waitForLog ("Start listener thread", 20000, mark));
    mark = a.logLength();
    ASSERT_TRUE (a.run ("traymenu 1", 60000)) << a.lastFailure;
    EXPECT_EQ (a.waitForExit (20000), 0);
    EXPECT_TRUE (endedCleanly (a, mark, true));
    EXPECT_TRUE (leftNoAssertions (a));
}
