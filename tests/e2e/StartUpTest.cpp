// Starting up as a user meets it: the first machine of a cluster serves it,
// the others join and learn of each other in the server's layout, a machine
// of another cluster serves a cluster of its own, and a machine without a
// cluster ID waits for the server's user until it gives up; a quit while it
// starts ends it at once; a bare X server takes every start.
#include "e2e/WholeProgramTest.h"

#include <csignal>
#include <cstdio>

using StartUp = WholeProgramTest;

namespace
{
// Where the machine's registry last put machine 'id' on the virtual desktop:
// its entry, or the latest move of its tile.
juce::Point<int> lastPlace (SimulatedMachine const& m, int id)
{
    juce::Point<int> place (-1, -1);
    juce::StringArray lines;
    lines.addLines (m.readLog());
    auto const added = "Add to myCopyOfMachines ID: " + juce::String (id) + " ";
    auto const moved = "MainComp moveMachineComponent " + juce::String (id) + " ";

    for (auto const& line : lines)
    {
        if (line.contains (added))
            place = { line.fromFirstOccurrenceOf (" x: ", false, false).getIntValue(),
                      line.fromFirstOccurrenceOf (" y: ", false, false).getIntValue() };
        else if (line.contains (moved))
        {
            auto numbers = juce::StringArray::fromTokens (line.fromFirstOccurrenceOf (moved, false, false), " ", {});
            place = { numbers[0].getIntValue(), numbers[1].getIntValue() };
        }
    }

    return place;
}

int countPixels (juce::Image const& image, juce::Rectangle<int> area, juce::Colour colour)
{
    int count = 0;

    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            count += image.getPixelAt (x, y) == colour ? 1 : 0;

    return count;
}

// How many pixels of 'area' of a screenshot differ from white text drawn
// centred in that box over the colour of the box's first pixel.
int differenceFromText (juce::Image const& shot, juce::Rectangle<int> area, juce::String const& text)
{
    juce::Image drawn (juce::Image::RGB, area.getWidth(), area.getHeight(), true, juce::SoftwareImageType());
    {
        juce::Graphics g (drawn);
        g.fillAll (shot.getPixelAt (area.getX(), area.getY()));
        g.setColour (juce::Colours::white);
        g.drawText (text, 0, 0, area.getWidth(), area.getHeight(), juce::Justification::centred, true);
    }

    int different = 0;

    for (int y = 0; y < area.getHeight(); ++y)
        for (int x = 0; x < area.getWidth(); ++x)
        {
            auto const p = shot.getPixelAt (area.getX() + x, area.getY() + y), q = drawn.getPixelAt (x, y);
            different += std::abs (p.getRed() - q.getRed()) + std::abs (p.getGreen() - q.getGreen()) > 64 ? 1 : 0;
        }

    return different;
}
} // namespace

TEST_F (StartUp, FirstServesTheOthersJoinInItsLayoutAndAnotherClusterServesItself)
{
    auto& a = machine ("A", 1920, 1080);
    auto& b = machine ("B", 1440, 900);
    auto& c = machine ("C", 1280, 1024);
    auto& d = machine ("D", 1280, 1024);
    auto const layouts = StoredLayout::toXml ({ { 4400, 2700, { { &a, 400, 300 }, { &b, 2320, 300 }, { &c, 2320, 1200 } } } });

    for (auto* m : { &a, &b, &c })
        m->writeSettings (clusterID, layouts.get());

    d.writeSettings (clusterID + 1);
    ASSERT_TRUE (a.run ("tray"));
    ASSERT_TRUE (startInTurn ({ &a, &b, &c }));

    EXPECT_TRUE (a.waitForLog ("Starting IPC server..."));

    for (auto* m : { &b, &c })
        EXPECT_FALSE (m->readLog().contains ("Starting IPC server...")) << m->name << " started a server of its own";

    // Every registry holds the three machines where the server's layout puts them.
    for (auto* m : { &a, &b, &c })
    {
        EXPECT_TRUE (eventually ([&] { return lastPlace (*m, a.getID()) == juce::Point<int> (400, 300)
                                              && lastPlace (*m, b.getID()) == juce::Point<int> (2320, 300)
                                              && lastPlace (*m, c.getID()) == juce::Point<int> (2320, 1200); }))
            << m->name << " has A at " << lastPlace (*m, a.getID()).toString() << ", B at " << lastPlace (*m, b.getID()).toString()
            << ", C at " << lastPlace (*m, c.getID()).toString();
    }

    // The window shows the three machines' tiles, drawn to scale: A's own in
    // light green, the others' in dark green (with their texts and logos on them).
    ASSERT_TRUE (a.run ("traymenu 0", 60000)) << a.lastFailure;
    ASSERT_TRUE (a.waitForWindow ("Corvelline"));
    juce::Thread::sleep (1000);
    auto const shot = a.base.getChildFile ("window.png");
    ASSERT_TRUE (a.screenshot (shot));
    auto const image = juce::ImageFileFormat::loadFrom (shot);
    auto const window = a.findWindow ("Corvelline")->bounds;
    auto const scale = 800.0 / 4400.0;
    auto const area = [scale] (SimulatedMachine const& m) { return scale * m.width * scale * m.height; };
    auto const own = countPixels (image, window, juce::Colours::lightgreen);
    auto const others = countPixels (image, window, juce::Colours::darkgreen);
    EXPECT_TRUE (own > 0.65 * area (a) && own < 1.05 * area (a)) << own << " pixels of A's tile";
    EXPECT_TRUE (others > 0.65 * (area (b) + area (c)) && others < 1.05 * (area (b) + area (c))) << others << " pixels of B's and C's tiles";

    // Its details page (the button at the bottom right) says A is the server.
    ASSERT_TRUE (a.clickAt ({ window.getRight() - 100 + 37, window.getBottom() - 38 + 12 }));
    auto const line = juce::Rectangle<int> (window.getX(), window.getY() + 132, window.getWidth() / 2, 12);
    juce::Image details;

    // The page shows once the program has repainted (slowly under the sanitizers).
    for (auto const deadline = juce::Time::getMillisecondCounter() + 10000; juce::Time::getMillisecondCounter() < deadline;)
    {
        juce::Thread::sleep (250);
        ASSERT_TRUE (a.screenshot (shot));
        details = juce::ImageFileFormat::loadFrom (shot);

        if (differenceFromText (details, line, "Server: yes") < line.getWidth() * line.getHeight() / 50)
            break;
    }

    EXPECT_LT (differenceFromText (details, line, "Server: yes"), differenceFromText (details, line, "Server: no"));
    EXPECT_LT (differenceFromText (details, line, "Server: yes"), line.getWidth() * line.getHeight() / 50);

    // A machine of another cluster is refused and serves its own.
    ASSERT_GT (d.start(), 0);
    EXPECT_TRUE (a.waitForLog ("Client with non-matching cluster ID, rejecting..."));
    EXPECT_TRUE (d.waitForLog ("Starting IPC server..."));
    EXPECT_TRUE (knows (d, d));

    for (auto* m : { &a, &b, &c })
    {
        EXPECT_FALSE (m->readLog().contains ("ID: " + juce::String (d.getID()))) << m->name << " learnt of D";
        EXPECT_FALSE (d.readLog().contains ("ID: " + juce::String (m->getID()))) << "D learnt of " << m->name;
    }
}

TEST_F (StartUp, WithoutAClusterIDItWaitsForAcceptanceAndCancelMakesItServeItself)
{
    auto& a = machine ("A", 1920, 1080);
    auto& e = machine ("E", 1440, 900);
    a.writeSettings (clusterID);
    e.writeSettings (-1);
    ASSERT_TRUE (startInTurn ({ &a }));

    ASSERT_GT (e.start(), 0);
    ASSERT_TRUE (a.waitForLog ("Client unknown, asking for permission to add..."));
    EXPECT_TRUE (a.waitForWindow ("Accept?"));
    ASSERT_TRUE (e.waitForWindow ("Looking for existing Corvelline server"));
    EXPECT_FALSE (e.readLog().contains ("Starting IPC server...")) << "E did not wait";

    // "Cancel", the progress window's one button, centred at its bottom.
    auto const progress = e.findWindow ("Looking for existing Corvelline server")->bounds;
    ASSERT_TRUE (e.clickAt ({ progress.getCentreX(), progress.getY() + progress.getHeight() * 95 / 100 - 14 }));

    EXPECT_TRUE (e.waitForLog ("Writing CANCEL to server"));
    EXPECT_TRUE (e.waitForLog ("Starting IPC server..."));
    EXPECT_TRUE (knows (e, e));
    EXPECT_TRUE (eventually ([&] { return ! a.findWindow ("Accept?").has_value(); })) << "the server still asks";
    EXPECT_FALSE (a.readLog().contains ("ID: " + juce::String (e.getID()))) << "A learnt of E";

    // E keeps a cluster of its own.
    EXPECT_TRUE (eventually ([&]
    {
        auto settings = juce::XmlDocument::parse (e.base.getChildFile ("home/.config/Corvelline/Corvelline.settings"));
        auto* value = settings != nullptr ? settings->getChildByAttribute ("name", "clusterID") : nullptr;
        auto const id = value != nullptr ? value->getIntAttribute ("val", -1) : -1;
        return id >= 1 && id != clusterID;
    }, 10000)) << "E stored no cluster ID of its own";
}

namespace
{
// The program last started on 'm' ended with status 0 after it logged
// "Quitting on <signal>", with the shut-down lines last, having made no
// server after the quit, and neither JUCE nor the program complained.
::testing::AssertionResult quitCleanlyDuringStartUp (SimulatedMachine& m, juce::String const& since, juce::String const& signal)
{
    auto const code = m.waitForExit (15000);

    if (code != 0)
        return ::testing::AssertionFailure() << "the program did not end with 0 after " << signal << " ("
                                             << (code ? juce::String (*code) : juce::String ("still running")) << ")";

    juce::StringArray lines;

    for (auto const& line : juce::StringArray::fromLines (m.readLog().trimEnd()))
        if (line.substring (0, since.length()) >= since)
            lines.add (line.fromFirstOccurrenceOf (" ", false, false));

    juce::StringArray const expected { "Quitting on " + signal, "systemRequestedQuit", "Shutdown...", "...socketThread is gone",
                                       "...listenerThread too" };
    auto const quitAt = lines.indexOf (expected[0]);
    int next = 0;

    for (int i = juce::jmax (0, quitAt); i < lines.size(); ++i)
    {
        if (lines[i] == "Starting IPC server...")
            return ::testing::AssertionFailure() << "a server was made after " << signal;

        if (next < expected.size() && lines[i] == expected[next])
            ++next;
    }

    if (quitAt < 0 || next < expected.size() || lines[lines.size() - 1] != expected[expected.size() - 1])
        return ::testing::AssertionFailure() << "the log lacks \"" << expected[juce::jmin (next, expected.size() - 1)]
                                             << "\" or goes on after the shut-down: " << lines.joinIntoString (" | ");

    auto const output = m.getProgramOutput().loadFileAsString();

    if (output.contains ("JUCE Assertion failure") || output.contains ("*** Leaked objects"))
        return ::testing::AssertionFailure() << "JUCE complained: " << output;

    return ::testing::AssertionSuccess();
}
} // namespace

// A quit at any moment of start-up (the end of a session, a closed terminal,
// Ctrl+C), with the network up or without a route (where start-up lasts
// several seconds), ends the program at once as "Quit" does, and no server
// is made after it. Prints how long each took from signal to exit.
TEST_F (StartUp, AQuitAtAnyMomentOfStartUpEndsItAtOnce)
{
    auto& a = machine ("A", 1280, 800);
    a.writeSettings (clusterID);

    struct Moment { juce::String after; int delayMs; };
    Moment const moments[] = { { "at construction", 0 },                          // before the window shows
                               { "App initialise", 300 },                         // the window shows
                               { "Client: start UDP connection attempt", 1000 },  // searching
                               { "Starting IPC server...", 300 } };               // searching for its own server
    std::pair<int, juce::String> const signals[] = { { SIGTERM, "SIGTERM" }, { SIGHUP, "SIGHUP" }, { SIGINT, "SIGINT" } };

    for (bool const routed : { true, false })
    {
        if (! routed)
        {
            ASSERT_TRUE (a.run ("noroute")) << a.lastFailure;
        }

        for (int i = 0; i < 4; ++i)
        {
            auto const& [signal, name] = signals[(i + (routed ? 2 : 1)) % 3];
            auto const since = SimulatedMachine::now();
            ASSERT_GT (a.start(), 0);
            ASSERT_TRUE (a.waitForLogSince (moments[i].after, since)) << moments[i].after;
            juce::Thread::sleep (moments[i].delayMs);

            auto const sent = juce::Time::getMillisecondCounterHiRes();
            ASSERT_TRUE (a.run ("signal " + juce::String (a.programPid) + " " + juce::String (signal)));
            EXPECT_TRUE (quitCleanlyDuringStartUp (a, since, name))
                << name << " after \"" << moments[i].after << "\"" << (routed ? "" : ", no route");
            std::printf ("%s %d ms after \"%s\"%s: ended in %.0f ms\n", name.toRawUTF8(), moments[i].delayMs,
                         moments[i].after.toRawUTF8(), routed ? "" : " (no route)",
                         juce::Time::getMillisecondCounterHiRes() - sent);
        }
    }
}

// On a bare X server, which resets whenever its last client leaves, every
// start runs with input: the program's first connection meets a server
// still resetting after the one before left, and none of its own may close
// before the next is made.
TEST_F (StartUp, OnABareXServerEveryStartRunsWithInput)
{
    auto& a = machine ("A", 1280, 800);
    a.writeSettings (clusterID);
    ASSERT_TRUE (a.run ("bare")) << a.lastFailure;

    for (int i = 0; i < 8; ++i)
    {
        auto const since = SimulatedMachine::now();
        ASSERT_GT (a.start(), 0);
        auto const started = a.waitForLogSince (i == 0 ? "Add to myCopyOfMachines ID: " + juce::String (a.getID())
                                                       : juce::String ("App initialise"), since);
        juce::Thread::sleep (i == 0 ? 0 : 300);
        a.run ("signal " + juce::String (a.programPid) + " " + juce::String (SIGTERM));
        auto const code = a.waitForExit (15000);
        auto const output = a.getProgramOutput().loadFileAsString();

        EXPECT_TRUE (started) << "start " << i << " went no further: " << output;
        EXPECT_EQ (code, 0) << "start " << i << ": " << output;
        EXPECT_FALSE (output.contains ("Failed to get keyboard layout data!")) << "start " << i;
        EXPECT_FALSE (output.contains ("the display offers no XTEST")) << "start " << i;
        EXPECT_FALSE (output.contains ("JUCE Assertion failure") || output.contains ("*** Leaked objects")) << output;
    }
}
