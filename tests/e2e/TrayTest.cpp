// The way in, as a person meets it: the icon in a real tray (Debian's trayer)
// started before the program, after it, and restarted, docked at a usable size
// with a menu that opens; without a tray, the window with its "Quit"; and the
// signals of a session's end, which quit as "Quit" does.
#include "e2e/WholeProgramTest.h"

#include <csignal>
#include <unistd.h>

using Tray = WholeProgramTest;

namespace
{
// The icon docks in the tray at 16 x 16 pixels or more, and its picture shows
// there: most of its middle differs from the tray beside it. Leaves the last
// screenshot of the display in 'shot'.
::testing::AssertionResult iconIsUsable (SimulatedMachine& m, juce::File const& shot)
{
    juce::Rectangle<int> icon;
    int painted = -1;

    bool const usable = TestEnvironment::waitUntil ([&]
    {
        auto const numbers = juce::StringArray::fromTokens (m.ask ("icon", 5000).value_or (""), " ", {});
        icon = { numbers[0].getIntValue(), numbers[1].getIntValue(), numbers[2].getIntValue(), numbers[3].getIntValue() };

        if (icon.getWidth() < 16 || icon.getHeight() < 16 || ! m.screenshot (shot))
            return false;

        auto const image = juce::ImageFileFormat::loadFrom (shot);
        auto const beside = image.getPixelAt (icon.getX() - 1, icon.getCentreY());
        auto const middle = icon.withSizeKeepingCentre (12, 12);
        painted = 0;

        for (int y = middle.getY(); y < middle.getBottom(); ++y)
            for (int x = middle.getX(); x < middle.getRight(); ++x)
                painted += image.getPixelAt (x, y) != beside ? 1 : 0;

        return painted >= middle.getWidth() * middle.getHeight() / 2;
    }, 20000);

    if (! usable)
        return ::testing::AssertionFailure() << m.name << "'s icon is not usable: last seen at " << icon.toString()
                                             << " with " << painted << " of 144 middle pixels painted ("
                                             << shot.getFullPathName() << ")";

    return ::testing::AssertionSuccess();
}

// The program ends as "Quit" ends it: exit code 0, the shut-down lines last in
// its log since 'since', and its temporary folder removed.
::testing::AssertionResult quitsCleanly (SimulatedMachine& m, juce::String const& since)
{
    auto const code = m.waitForExit (20000);

    if (code != 0)
        return ::testing::AssertionFailure() << m.name << "'s program did not end with 0 ("
                                             << (code ? juce::String (*code) : juce::String ("still running")) << ")";

    juce::StringArray lines;
    lines.addLines (m.readLog().trimEnd());
    int next = 0;
    juce::StringArray const expected { "systemRequestedQuit", "Shutdown...", "...listenerThread too" };

    for (auto const& line : lines)
        if (line.substring (0, since.length()) >= since && next < expected.size() && line.endsWith (" " + expected[next]))
            ++next;

    if (next < expected.size() || ! lines[lines.size() - 1].endsWith (" ...listenerThread too"))
        return ::testing::AssertionFailure() << m.name << "'s log lacks \"" << expected[next] << "\" or goes on after it";

    if (m.base.getChildFile ("tmp/Corvelline-" + juce::String ((juce::int64) geteuid())).exists())
        return ::testing::AssertionFailure() << m.name << "'s temporary folder is still there";

    return ::testing::AssertionSuccess();
}
} // namespace

TEST_F (Tray, TrayerStartedBeforeTheProgramAndRestartedShowsAUsableIconWhoseMenuWorks)
{
    auto& a = machine ("A", 1280, 800);
    a.writeSettings (clusterID);
    ASSERT_TRUE (a.run ("notray") && a.run ("trayer")) << a.lastFailure;
    ASSERT_TRUE (startInTurn ({ &a }));

    EXPECT_TRUE (iconIsUsable (a, outputFolder().getChildFile ("trayer-before.png")));
    EXPECT_FALSE (a.findWindow ("Corvelline")) << "the window showed although there is a tray";
    ASSERT_TRUE (a.run ("traymenu 0", 60000)) << a.lastFailure;
    EXPECT_TRUE (a.waitForWindow ("Corvelline"));

    auto const since = SimulatedMachine::now();
    ASSERT_TRUE (a.run ("trayer stop"));
    EXPECT_TRUE (a.waitForLogSince ("Status item: the system tray is gone", since));
    ASSERT_TRUE (a.run ("trayer")) << a.lastFailure;
    EXPECT_TRUE (iconIsUsable (a, outputFolder().getChildFile ("trayer-restarted.png")));
    ASSERT_TRUE (a.run ("traymenu 1", 60000)) << a.lastFailure;
    EXPECT_TRUE (quitsCleanly (a, since));
}

TEST_F (Tray, WithoutATrayTheWindowOffersQuitATrayStartedLaterGetsTheIconAndSignalsQuit)
{
    auto& a = machine ("A", 1280, 800);
    a.writeSettings (clusterID);
    ASSERT_TRUE (a.run ("notray"));

    // No tray: the window shows at start and says so, as do the log and
    // standard error; its "Quit" (left of "Details") ends the program.
    auto since = SimulatedMachine::now();
    ASSERT_TRUE (startInTurn ({ &a }));
    ASSERT_TRUE (a.waitForWindow ("Corvelline"));
    EXPECT_TRUE (a.waitForLogSince ("No system tray on this desktop", since));
    EXPECT_TRUE (a.getProgramOutput().loadFileAsString().contains ("Corvelline: No system tray on this desktop"));
    juce::Thread::sleep (1000);   // (the screenshot is for people to look at)
    a.screenshot (outputFolder().getChildFile ("no-tray.png"));
    auto const window = a.findWindow ("Corvelline")->bounds;
    ASSERT_TRUE (a.clickAt ({ window.getRight() - 150, window.getBottom() - 26 }));
    EXPECT_TRUE (quitsCleanly (a, since));

    // A tray that starts after the program gets the icon; its "Quit" ends it.
    since = SimulatedMachine::now();
    ASSERT_GT (a.start(), 0);
    ASSERT_TRUE (a.waitForLogSince ("No system tray on this desktop", since));
    ASSERT_TRUE (a.run ("trayer")) << a.lastFailure;
    EXPECT_TRUE (iconIsUsable (a, outputFolder().getChildFile ("trayer-after.png")));
    ASSERT_TRUE (a.run ("traymenu 1", 60000)) << a.lastFailure;
    EXPECT_TRUE (quitsCleanly (a, since));

    // The end of a session (SIGTERM) or of a terminal (SIGHUP) quits the same way.
    for (int signal : { SIGTERM, SIGHUP })
    {
        since = SimulatedMachine::now();
        ASSERT_GT (a.start(), 0);
        ASSERT_TRUE (a.waitForLogSince ("Set active monitor id", since));
        ASSERT_TRUE (a.run ("signal " + juce::String (a.programPid) + " " + juce::String (signal)));
        EXPECT_TRUE (quitsCleanly (a, since)) << "signal " << signal;
    }
}
