// How fast and how cheap the main road is: the one-way time from an input
// injected on A to its arrival on B, which A drives, beside the floor (the same
// probe watching input injected on its own display, no program in between),
// and the processor time each machine's program takes idle and during a
// 500 Hz pointer stream. A benchmark, not part of the suite: scripts/latency.sh
// runs it and writes its table and plot to a results folder
// ($CORVELLINE_RESULTS).
#include "e2e/WholeProgramTest.h"

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace
{
struct Case
{
    juce::String name;
    std::vector<double> latencyMs;
    int sent = 0, lost = 0, late = 0;   // late: arrived only after the next input was injected
    int travelled = 0;                  // moves: the pointer's path on the receiver, in pixels (one per move sent)
    double settledMs = 0;               // moves: from the last move sent to the last position shown

    double percentile (double p) const
    {
        if (latencyMs.empty())
            return std::nan ("");

        auto sorted = latencyMs;
        std::sort (sorted.begin(), sorted.end());
        return sorted[(size_t) std::min<double> ((double) sorted.size() - 1, std::floor (p * (double) sorted.size()))];
    }
};

struct Plan
{
    juce::String name;
    bool keys;
    int count;
    juce::int64 periodUs;
    int turn;   // paced moves go right and back, turning after this many, so the pointer stays inside the display
};

// A burst's moves all go one way: the positions the receiver never shows were
// merged into later ones.
const std::vector<Plan> plans { { "moves every 2 ms", false, 1000, 2000, 150 },
                                { "moves every 8 ms", false, 500, 8000, 150 },
                                { "burst of 300 moves", false, 300, 0, 0 },
                                { "keys every 10 ms", true, 300, 10000, 0 },
                                { "keys at typing pace (120 ms)", true, 40, 120000, 0 } };

juce::int64 cpuTicks (int pid)
{
    auto fields = juce::StringArray::fromTokens (
        juce::File ("/proc/" + juce::String (pid) + "/stat").loadFileAsString().fromLastOccurrenceOf (")", false, false), " ", {});
    return fields[11].getLargeIntValue() + fields[12].getLargeIntValue();   // utime and stime
}

// The share of one processor each program takes while 'during' runs.
std::vector<double> cpuPercent (std::vector<SimulatedMachine*> const& machines, std::function<void()> const& during)
{
    std::vector<juce::int64> before;

    for (auto* m : machines)
        before.push_back (cpuTicks (m->programPid));

    auto const start = juce::Time::getMillisecondCounterHiRes();
    during();
    auto const seconds = (juce::Time::getMillisecondCounterHiRes() - start) / 1000.0;
    std::vector<double> result;

    for (size_t i = 0; i < machines.size(); ++i)
        result.push_back (100.0 * (double) (cpuTicks (machines[i]->programPid) - before[i]) / (double) sysconf (_SC_CLK_TCK) / seconds);

    return result;
}

// Injects one plan's inputs on 'injector' and matches what reached the probe of 'receiver'.
Case measure (Plan const& plan, SimulatedMachine& injector, SimulatedMachine& receiver)
{
    Case result;
    result.name = plan.name;
    result.sent = plan.count;
    auto const start = receiver.pointer().value_or (juce::Point<int>());
    receiver.takeEvents();
    auto const command = plan.keys ? "stream keys " + juce::String (plan.count) + " " + juce::String (plan.periodUs) + " " + juce::String (Keys::a)
                                   : "stream moves " + juce::String (plan.count) + " " + juce::String (plan.periodUs) + " 1 0 " + juce::String (plan.turn);

    if (! injector.run (command))
        return result;

    auto times = injector.ask ("stream-result", 120000);
    juce::Thread::sleep (500);
    auto const events = receiver.takeEvents();
    std::vector<juce::int64> sent;

    for (auto const& t : juce::StringArray::fromTokens (times.value_or (""), " ", {}))
        sent.push_back (t.getLargeIntValue());

    if ((int) sent.size() != plan.count)
        return result;

    int x = start.x;

    for (auto const& e : events)
    {
        if (e.kind == 'M')
        {
            result.travelled += std::abs (e.a - std::exchange (x, e.a));
            result.settledMs = (double) (e.micros - sent.back()) / 1000.0;
        }
    }

    // The next input injected after input i: the key's release, or the next move.
    auto const next = [&] (int i) { return plan.keys ? sent[(size_t) i] + plan.periodUs / 2 : i + 1 < plan.count ? sent[(size_t) i + 1] : 0; };
    auto const arrived = [&] (int i, juce::int64 at)
    {
        result.latencyMs.push_back ((double) (at - sent[(size_t) i]) / 1000.0);

        if (plan.periodUs > 0 && next (i) > 0 && at >= next (i))
            ++result.late;
    };

    size_t j = 0;

    if (plan.keys)
    {
        for (int i = 0; i < plan.count; ++i)
        {
            while (j < events.size() && ! (events[j].kind == 'K' && events[j].a == Keys::a))
                ++j;

            if (j < events.size())
                arrived (i, events[j++].micros);
            else
                ++result.lost;
        }

        return result;
    }

    // Move i takes the pointer to x[i]; a move whose position never shows
    // (the next one's shows first) was lost or merged into the next.
    std::vector<int> expected;

    for (int i = 0, at = start.x; i < plan.count; ++i)
        expected.push_back (at += plan.turn > 0 && (i / plan.turn) % 2 == 1 ? -1 : 1);

    // Once motion is lost on the way the positions no longer tell which move
    // arrived when: the moves up to the first loss are timed, the rest only
    // counted in the distance.
    bool const motionLost = result.travelled < plan.count;

    for (int i = 0; i < plan.count; ++i)
    {
        while (j < events.size() && ! (events[j].kind == 'M' && events[j].a == expected[(size_t) i])
               && ! (i + 1 < plan.count && events[j].kind == 'M' && events[j].a == expected[(size_t) i + 1]))
            ++j;

        if (j < events.size() && events[j].a == expected[(size_t) i])
            arrived (i, events[j++].micros);
        else if (motionLost)
            break;
        else
            ++result.lost;
    }

    if (motionLost)
        result.lost = plan.count - result.travelled;

    return result;
}
} // namespace

using Latency = WholeProgramTest;

TEST_F (Latency, DISABLED_OneWayTimesAndCostBesideTheFloor)
{
    auto& a = machine ("A", 1920, 1080);
    auto& b = machine ("B", 1440, 900);
    auto const layouts = StoredLayout::toXml ({ { 4200, 1600, { { &a, 400, 300 }, { &b, 2320, 300 } } } });
    a.writeSettings (clusterID, layouts.get());
    b.writeSettings (clusterID, layouts.get());

    // The floor: B's probe watching input injected on B itself, before any program runs.
    std::vector<Case> floor, program;
    ASSERT_TRUE (b.moveTo ({ 400, 450 }));

    for (auto const& plan : plans)
        floor.push_back (measure (plan, b, b));

    ASSERT_TRUE (startInTurn ({ &a, &b }));
    ASSERT_TRUE (tapsRun ({ &a, &b }));
    juce::Thread::sleep (3000);
    auto const idle = cpuPercent ({ &a, &b }, [] { juce::Thread::sleep (10000); });

    // A drives B, whose pointer starts where the floor's did.
    ASSERT_TRUE (crossInto (a, { 1900, 450 }, { 1919, 450 }, b));
    for (int dx : { 97, 97, 97, 97, 3 })
    {
        ASSERT_TRUE (a.moveBy (dx, 0));
        juce::Thread::sleep (300);   // the next move once A's pointer is back in its middle
    }

    ASSERT_TRUE (pointerComesTo (b, { 400, 450 }));
    ASSERT_TRUE (b.run ("focus"));

    for (auto const& plan : plans)
        program.push_back (measure (plan, a, b));

    auto const streaming = cpuPercent ({ &a, &b }, [&]
    {
        a.run ("stream moves 2500 2000 1 0 150");
        a.ask ("stream-result", 60000);
    });

    // The table, the samples for the plot.
    auto const folder = resultsFolder();
    juce::String table, samples ("case,kind,latency_ms\n"),
        travel ("\n| moves: the pointer's path on B, and when it stopped after the last move | program | floor |\n|---|---|---|\n");
    auto const ms = [] (double v) { return std::isnan (v) ? juce::String ("-") : juce::String (v, 3); };
    table << "| case | events (timed) | p50 ms | p99 ms | floor p50 ms | floor p99 ms | p50 above floor | p99 above floor | lost or merged"
          << " | arrived after the next input |\n|---|---|---|---|---|---|---|---|---|---|\n";

    for (size_t i = 0; i < plans.size(); ++i)
    {
        auto const& p = program[i];
        auto const& f = floor[i];
        table << "| " << p.name << " | " << p.sent << " (" << (int) p.latencyMs.size() << ") | " << ms (p.percentile (0.5)) << " | " << ms (p.percentile (0.99)) << " | "
              << ms (f.percentile (0.5)) << " | " << ms (f.percentile (0.99)) << " | " << ms (p.percentile (0.5) - f.percentile (0.5))
              << " | " << ms (p.percentile (0.99) - f.percentile (0.99)) << " | " << p.lost << " (floor " << f.lost << ") | "
              << (plans[i].periodUs > 0 ? juce::String (p.late) + " (floor " + juce::String (f.late) + ")" : juce::String ("-")) << " |\n";

        if (! plans[i].keys)
            travel << "| " << p.name << " | " << p.travelled << " of " << p.sent << " px in " << ms (p.settledMs) << " ms | "
                   << f.travelled << " of " << f.sent << " px in " << ms (f.settledMs) << " ms |\n";

        for (auto const* c : { &p, &f })
            for (auto v : c->latencyMs)
                samples << c->name << "," << (c == &p ? "program" : "floor") << "," << juce::String (v, 4) << "\n";
    }

    table << travel << "\n| processor time (one core) | A | B |\n|---|---|---|\n"
          << "| idle | " << juce::String (idle[0], 2) << " % | " << juce::String (idle[1], 2) << " % |\n"
          << "| 500 Hz pointer stream, A driving B | " << juce::String (streaming[0], 2) << " % | " << juce::String (streaming[1], 2) << " % |\n";

    ASSERT_TRUE (folder.getChildFile ("latency.md").replaceWithText (table));
    ASSERT_TRUE (folder.getChildFile ("samples.csv").replaceWithText (samples));
    std::printf ("%s\nresults in %s\n", table.toRawUTF8(), folder.getFullPathName().toRawUTF8());

    for (size_t i = 0; i < plans.size(); ++i)
        EXPECT_TRUE (! program[i].latencyMs.empty() || program[i].travelled > 0) << program[i].name << ": nothing arrived";
}
