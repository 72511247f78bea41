// A long run of random use on three machines, with the server's machine
// killed and restarted every few minutes: nothing crashes, nothing stays
// pressed, every push into an edge crosses at once, every machine is back in
// the cluster after each restart, and the programs' threads, descriptors and
// memory stay within bounds. Not part of
// the suite: scripts/soak.sh runs it ($CORVELLINE_SOAK_MINUTES, default 30;
// $CORVELLINE_SOAK_RESTART_MINUTES, default 5; report in $CORVELLINE_RESULTS).
#include "e2e/WholeProgramTest.h"

#include <map>

namespace
{
struct Resources
{
    int threads = 0, descriptors = 0;
    juce::int64 residentKb = 0;

    static Resources of (int pid)
    {
        Resources r;
        auto const proc = juce::File ("/proc/" + juce::String (pid));
        juce::StringArray status;
        status.addLines (proc.getChildFile ("status").loadFileAsString());

        for (auto const& line : status)
        {
            if (line.startsWith ("Threads:"))
                r.threads = line.fromFirstOccurrenceOf (":", false, false).trim().getIntValue();
            else if (line.startsWith ("VmRSS:"))
                r.residentKb = line.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue();
        }

        r.descriptors = proc.getChildFile ("fd").getNumberOfChildFiles (juce::File::findFilesAndDirectories | juce::File::ignoreHiddenFiles);
        return r;
    }

    juce::String toString() const
    {
        return juce::String (threads) + " threads, " + juce::String (descriptors) + " descriptors, " + juce::String (residentKb / 1024) + " MB";
    }
};

// The bounds a program's resources may grow by over the run.
constexpr int extraThreads = 4, extraDescriptors = 16;
constexpr juce::int64 extraResidentKb = 64 * 1024;

// Where one machine's pointer leaves towards another: from 'inside' to 'edge'
// across a vertical edge (x) or a horizontal one (y), somewhere between 'lo'
// and 'hi' along it; 'home' is the way back, per move.
struct Exit
{
    int from, to;
    bool vertical;
    int inside, edge, lo, hi;
    juce::Point<int> home;

    std::pair<juce::Point<int>, juce::Point<int>> points (double along) const
    {
        auto const at = lo + (int) ((hi - lo) * along);
        return vertical ? std::pair { juce::Point { inside, at }, juce::Point { edge, at } }
                        : std::pair { juce::Point { at, inside }, juce::Point { at, edge } };
    }
};

int setting (const char* name, int fallback)
{
    auto const value = juce::SystemStats::getEnvironmentVariable (name, {});
    return value.isNotEmpty() ? value.getIntValue() : fallback;
}
} // namespace

using Soak = WholeProgramTest;

TEST_F (Soak, DISABLED_RandomUseWithTheServerKilledAndRestarted)
{
    auto const minutes = setting ("CORVELLINE_SOAK_MINUTES", 30);
    auto const restartMinutes = setting ("CORVELLINE_SOAK_RESTART_MINUTES", 5);
    auto& a = machine ("A", 1920, 1080);
    auto& b = machine ("B", 1440, 900);
    auto& c = machine ("C", 1280, 1024);
    std::vector<SimulatedMachine*> all { &a, &b, &c };

    // A, B to its right, C below B; every pair keeps those places.
    auto const layouts = StoredLayout::toXml ({ { 4400, 2700, { { &a, 400, 300 }, { &b, 2320, 300 }, { &c, 2320, 1200 } } },
                                                { 4400, 2700, { { &a, 400, 300 }, { &b, 2320, 300 } } },
                                                { 4400, 2700, { { &b, 2320, 300 }, { &c, 2320, 1200 } } },
                                                { 4400, 2700, { { &a, 400, 300 }, { &c, 2320, 1200 } } } });

    for (auto* m : all)
        m->writeSettings (clusterID, layouts.get());

    ASSERT_TRUE (startInTurn ({ &a, &b, &c }));
    ASSERT_TRUE (tapsRun ({ &a, &b, &c }));

    Exit const exits[] { { 0, 1, true, 1900, 1919, 100, 800, { -40, 0 } }, { 0, 2, true, 1900, 1919, 930, 1060, { -40, 0 } },
                         { 1, 0, true, 20, 0, 50, 850, { 40, 0 } },        { 1, 2, false, 880, 899, 50, 1200, { 0, -40 } },
                         { 2, 1, false, 20, 0, 50, 1200, { 0, 40 } },      { 2, 0, true, 20, 0, 10, 170, { 40, 0 } } };

    juce::Random random (20240611);
    std::map<int, Resources> baseline;   // by process ID, taken a minute after the program joined
    std::map<int, juce::uint32> joinedAt;
    juce::StringArray report, problems;
    int failedInARow = 0;
    int crossings = 0, keysTyped = 0, keysMissing = 0, copies = 0, copiesMissing = 0, restarts = 0;
    int pushes = 0, pushesRetried = 0;   // a push that did not cross is retried (up to three pushes per crossing)
    auto server = &a;

    for (auto* m : all)
        joinedAt[m->programPid] = juce::Time::getMillisecondCounter();

    auto const start = juce::Time::getMillisecondCounter();
    auto lastRestart = start;
    auto const elapsedMinutes = [&] { return (juce::Time::getMillisecondCounter() - start) / 60000.0; };

    while (elapsedMinutes() < minutes && problems.size() < 20)
    {
        for (auto* m : all)
        {
            if (baseline.count (m->programPid) == 0 && juce::Time::getMillisecondCounter() - joinedAt[m->programPid] > 60000)
                baseline[m->programPid] = Resources::of (m->programPid);

            if (! m->isRunning())
            {
                problems.add (m->name + "'s program ended");
                m->programPid = -1;
            }
        }

        if (! problems.isEmpty() && problems[problems.size() - 1].contains ("ended"))
            break;

        // The server's machine is killed and started again; the backup takes over.
        if (juce::Time::getMillisecondCounter() - lastRestart >= (juce::uint32) restartMinutes * 60000u)
        {
            lastRestart = juce::Time::getMillisecondCounter();
            auto const since = SimulatedMachine::now();
            server->kill();
            auto const killedAt = juce::Time::getMillisecondCounter();
            SimulatedMachine* next = nullptr;
            eventually ([&]
            {
                for (auto* m : all)
                    if (m != server && m->waitForLogSince ("Starting IPC server...", since, 0))
                        next = m;

                return next != nullptr;
            }, 15000);

            if (next == nullptr || server->start() < 0)
            {
                problems.add ("no machine took over from " + server->name + " at minute " + juce::String (elapsedMinutes(), 1));
                break;
            }

            // Resources are compared within one role: the new server's from now on.
            joinedAt[server->programPid] = joinedAt[next->programPid] = juce::Time::getMillisecondCounter();
            baseline.erase (next->programPid);
            bool back = true;

            for (auto* m : all)
            {
                for (auto* o : all)
                    back = back && m->waitForLogSince ("Add to myCopyOfMachines ID: " + juce::String (o->getID()) + " ", since, 30000);

                back = back && m->waitForLogSince ("Start listener thread", since, 20000);
            }
            report.add ("- minute " + juce::String (elapsedMinutes(), 1) + ": killed " + server->name + "'s program; " + next->name
                        + " took over; all three back in " + juce::String ((juce::Time::getMillisecondCounter() - killedAt) / 1000.0, 1) + " s");

            if (! back)
                problems.add ("not every machine was back in the cluster after killing " + server->name);

            server = next;
            ++restarts;
            juce::Thread::sleep (2000);
            continue;
        }

        // A random crossing, with typing, a click and sometimes a copied text.
        auto const& exit = exits[random.nextInt ((int) std::size (exits))];
        auto& from = *all[(size_t) exit.from];
        auto& to = *all[(size_t) exit.to];
        auto const text = "copy " + juce::String (copies) + " " + juce::String::toHexString (random.nextInt64());
        bool const copying = random.nextInt (3) == 0;

        if (copying && ! from.offerText (text))
            problems.add ("could not copy on " + from.name + ": " + from.lastFailure);

        auto const [inside, onEdge] = exit.points (random.nextDouble());
        int pushed = 0;
        auto const crossed = crossInto (from, inside, onEdge, to, &pushed);
        pushes += pushed;
        pushesRetried += crossed ? pushed - 1 : pushed;

        if (crossed && pushed > 1)
            report.add ("- minute " + juce::String (elapsedMinutes(), 1) + ": " + from.name + " reached " + to.name + " only at push "
                        + juce::String (pushed) + " into " + onEdge.toString());

        if (! crossed)
        {
            report.add ("- minute " + juce::String (elapsedMinutes(), 1) + ": " + from.name + " could not reach " + to.name);

            // Three in a row: control no longer crosses; the machines' logs and displays are kept.
            if (++failedInARow == 3)
            {
                auto const minute = juce::String (elapsedMinutes(), 1);
                problems.add ("from minute " + minute + " no crossing worked three times in a row");
                cluster.report (resultsFolder().getChildFile ("stuck-at-minute-" + minute));
            }

            continue;
        }

        failedInARow = 0;
        ++crossings;
        to.run ("focus");
        to.takeInput();
        auto const typed = 1 + random.nextInt (8);

        for (int i = 0; i < typed; ++i)
            from.tap (Keys::a + random.nextInt (9));

        from.click();
        keysTyped += typed;
        juce::StringArray arrived;
        eventually ([&]
        {
            arrived.addTokens (to.takeInput(), " ", {});
            arrived.removeEmptyStrings();
            return arrived.size() >= typed * 2 + 2;
        }, 3000);
        int presses = 0;

        for (auto const& e : arrived)
            presses += e.startsWith ("K") ? 1 : 0;

        keysMissing += juce::jmax (0, typed - presses);
        auto const where = "- minute " + juce::String (elapsedMinutes(), 1) + ", " + from.name + " driving " + to.name + ": ";

        if (presses < typed)
            report.add (where + juce::String (presses) + " of " + juce::String (typed) + " keys arrived: " + arrived.joinIntoString (" "));

        if (copying)
        {
            ++copies;

            if (! eventually ([&] { return to.readClipboard().value_or (juce::MemoryBlock()).toString() == text; }, 5000))
            {
                ++copiesMissing;
                report.add (where + "the copied text did not arrive");
            }
        }

        auto const since = SimulatedMachine::now();

        if (! moveUntil (from, exit.home.x, exit.home.y, [&] { return from.waitForLogSince ("switchBackOccured", since, 0); }))
            problems.add (from.name + " could not come home from " + to.name + " at minute " + juce::String (elapsedMinutes(), 1));

        // The clipboard comes home too; a copy made before it arrived would be overwritten.
        auto const away = to.readClipboard().value_or (juce::MemoryBlock());
        eventually ([&] { return from.readClipboard().value_or (juce::MemoryBlock()) == away; }, 3000);
    }

    // The end: nothing pressed anywhere, every program within its bounds.
    juce::Thread::sleep (1000);
    report.add ("\n| machine | at the start of its program | at the end | held down |\n|---|---|---|---|");

    for (auto* m : all)
    {
        auto const pressed = m->pressed();

        if (pressed.isNotEmpty())
            problems.add (m->name + " has keys or buttons held down: " + pressed);

        if (m->programPid <= 0 || baseline.count (m->programPid) == 0)
            continue;

        auto const first = baseline[m->programPid], last = Resources::of (m->programPid);
        report.add ("| " + m->name + " | " + first.toString() + " | " + last.toString() + " | " + (pressed.isEmpty() ? "nothing" : pressed) + " |");

        if (last.threads > first.threads + extraThreads || last.descriptors > first.descriptors + extraDescriptors
            || last.residentKb > first.residentKb + extraResidentKb)
            problems.add (m->name + "'s program grew from " + first.toString() + " to " + last.toString());
    }

    // Every push that did not cross is one the user would have had to repeat.
    if (pushesRetried > 0)
        problems.add (juce::String (pushesRetried) + " of " + juce::String (pushes) + " pushes into an edge did not cross");

    report.insert (0, "Soak: " + juce::String (elapsedMinutes(), 1) + " minutes, " + juce::String (restarts) + " restarts of the server's machine, "
                      + juce::String (crossings) + " crossings, " + juce::String (pushes) + " pushes into an edge (" + juce::String (pushesRetried)
                      + " did not cross), " + juce::String (keysTyped) + " keys typed (" + juce::String (keysMissing)
                      + " missing), " + juce::String (copies) + " copies (" + juce::String (copiesMissing) + " missing)\n");
    report.add ("\nProblems: " + (problems.isEmpty() ? juce::String ("none") : "\n- " + problems.joinIntoString ("\n- ")));

    auto const out = resultsFolder();
    out.getChildFile ("soak.md").replaceWithText (report.joinIntoString ("\n") + "\n");
    std::printf ("%s\n", report.joinIntoString ("\n").toRawUTF8());

    EXPECT_TRUE (problems.isEmpty()) << problems.joinIntoString ("\n");
    EXPECT_EQ (keysMissing, 0);
    EXPECT_EQ (copiesMissing, 0);
}
