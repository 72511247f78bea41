#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

// Without an X display the program says so in one line and ends.
TEST (AppMain, WithoutADisplaySaysSoAndFails)
{
    for (auto const& environment : { juce::StringArray ({ "env", "-u", "DISPLAY" }),
                                     juce::StringArray ({ "env", "DISPLAY=:987" }) })
    {
        auto command = environment;
        command.add (CORVELLINE_PROGRAM);

        juce::ChildProcess program;
        ASSERT_TRUE (program.start (command, juce::ChildProcess::wantStdErr | juce::ChildProcess::wantStdOut));
        auto output = program.readAllProcessOutput();

        EXPECT_TRUE (program.waitForProcessToFinish (10000));
        EXPECT_NE (program.getExitCode(), 0u) << output;

        // (Lines of JUCE's debug build and of the key tables may come first.)
        juce::StringArray lines;
        lines.addLines (output);
        auto ours = std::count_if (lines.begin(), lines.end(), [] (auto& l) { return l.startsWith ("Corvelline: "); });
        EXPECT_EQ (ours, 1) << output;
        EXPECT_TRUE (output.contains ("Corvelline: no X display to run on")) << output;
    }
}
