// Machines of one cluster that start at the same moment, or that each take
// over when their server is lost, end as one cluster: each server looks out
// for others of its cluster, and of two, one gives way. With
// CORVELLINE_MERGE_RUNS=n the starts together are repeated n times and the
// times to one cluster written to merge-<count>.md in the results folder.
#include "e2e/WholeProgramTest.h"

#include <csignal>
#include <ctime>
#include <set>
#include <thread>

using Merge = WholeProgramTest;

namespace
{
juce::int64 nowMicros()
{
    timespec t {};
    clock_gettime (CLOCK_MONOTONIC, &t);
    return (juce::int64) t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

/** Where a machine stands by its log: whether it serves, the address of the
    server it joined last (empty while it has none) and the machines it knows. */
struct Standing
{
    bool serves = false;
    juce::String server;
    std::set<int> known;
};

Standing standingOf (SimulatedMachine const& m)
{
    Standing s;
    juce::StringArray lines;
    lines.addLines (m.readLog());
    auto const idIn = [] (juce::String const& line) { return line.fromFirstOccurrenceOf ("ID: ", false, false).getIntValue(); };

    for (auto const& line : lines)
    {
        if (line.contains ("Starting IPC server..."))             s.serves = true;
        else if (line.contains ("Ending this machine's server"))  s.serves = false;
        else if (line.contains ("ACCEPTED! Client ID: "))         s.server = line.fromFirstOccurrenceOf ("Server IP: ", false, false).upToFirstOccurrenceOf (" ", false, false);
        else if (line.contains ("ClientIPC: connection lost") || line.contains ("TCP connection to the server failed"))
            s.server = {};
        else if (line.contains ("App: clearMachines"))            s.known.clear();
        else if (line.contains ("Add to myCopyOfMachines ID: "))  s.known.insert (idIn (line));
        else if (line.contains ("App: removing monitor ID: "))    s.known.erase (idIn (line));
    }

    return s;
}

/** One cluster: exactly one of the machines serves, every one joined it and knows them all. */
::testing::AssertionResult oneCluster (std::vector<SimulatedMachine*> const& machines)
{
    std::set<int> all;
    juce::StringArray servers, told;

    for (auto* m : machines)
        all.insert (m->getID());

    bool joinedOne = true;

    for (auto* m : machines)
    {
        auto const s = standingOf (*m);

        if (s.serves)
            servers.add (m->address);

        told.add (m->name + (s.serves ? " serves" : "") + ", joined " + s.server + ", knows " + juce::String ((int) s.known.size()));
        joinedOne = joinedOne && s.known == all;
    }

    for (auto* m : machines)
        joinedOne = joinedOne && servers.size() == 1 && standingOf (*m).server == servers[0];

    if (joinedOne)
        return ::testing::AssertionSuccess();

    return ::testing::AssertionFailure() << told.joinIntoString ("; ");
}

/** Milliseconds from 'since' (of nowMicros) until the machines form one cluster, or -1. */
int msToOneCluster (std::vector<SimulatedMachine*> const& machines, juce::int64 since, int timeoutMs)
{
    if (! TestEnvironment::waitUntil ([&] { return (bool) oneCluster (machines); }, timeoutMs))
        return -1;

    return (int) ((nowMicros() - since) / 1000);
}

/** Each machine started on a thread of its own at the same moment; the
    spread of the moments they started at, in microseconds. */
juce::int64 startTogether (std::vector<SimulatedMachine*> const& machines)
{
    auto const at = nowMicros() + 500000;
    std::vector<std::thread> starting;

    for (auto* m : machines)
        starting.emplace_back ([m, at] { m->startAt (at); });

    for (auto& thread : starting)
        thread.join();

    juce::int64 first = std::numeric_limits<juce::int64>::max(), last = 0;

    for (auto* m : machines)
    {
        first = std::min (first, m->startedAt);
        last = std::max (last, m->startedAt);
    }

    return last - first;
}
} // namespace

/** Starts the machines together CORVELLINE_MERGE_RUNS times (once by
    default): each time they become one cluster within 20 s and stay one. */
static void startTogetherUntilOne (std::vector<SimulatedMachine*> const& machines, int clusterID, juce::File const& report)
{
    auto const runs = juce::jmax (1, juce::SystemStats::getEnvironmentVariable ("CORVELLINE_MERGE_RUNS", "1").getIntValue());
    juce::StringArray lines { "| run | start spread (us) | one cluster after (ms) |", "|---|---|---|" };

    for (int run = 1; run <= runs; ++run)
    {
        for (auto* m : machines)
        {
            m->getLogFile().deleteFile();
            m->writeSettings (clusterID);
        }

        auto const spread = startTogether (machines);
        ASSERT_LE (spread, 5000) << "the machines did not start together";

        auto const ms = msToOneCluster (machines, machines[0]->startedAt, 20000);
        lines.add ("| " + juce::String (run) + " | " + juce::String (spread) + " | " + juce::String (ms) + " |");
        EXPECT_GE (ms, 0) << "run " << run << ": " << oneCluster (machines).failure_message();

        // And it stays one.
        juce::Thread::sleep (3000);
        EXPECT_TRUE (oneCluster (machines)) << "run " << run;

        for (auto* m : machines)
            m->kill();

        if (::testing::Test::HasFailure())
            break;
    }

    if (runs > 1)
        report.replaceWithText (lines.joinIntoString ("\n") + "\n");
}

TEST_F (Merge, TwoMachinesStartedTogetherEndAsOneCluster)
{
    auto& a = machine ("A", 1920, 1080);
    auto& b = machine ("B", 1440, 900);
    startTogetherUntilOne ({ &a, &b }, clusterID, resultsFolder().getChildFile ("merge-2.md"));
}

TEST_F (Merge, ThreeMachinesStartedTogetherEndAsOneCluster)
{
    auto& a = machine ("A", 1920, 1080);
    auto& b = machine ("B", 1440, 900);
    auto& c = machine ("C", 1280, 1024);
    startTogetherUntilOne ({ &a, &b, &c }, clusterID, resultsFolder().getChildFile ("merge-3.md"));
}

// The backup quits: every other machine but the server's host is told
// "Backup server", so when the server is then lost, each of them serves.
TEST_F (Merge, ALostBackupAndThenALostServerLeaveOneCluster)
{
    auto& a = machine ("A", 1920, 1080);
    auto& b = machine ("B", 1440, 900);
    auto& c = machine ("C", 1280, 1024);
    auto& d = machine ("D", 1280, 1024);

    for (auto* m : { &a, &b, &c, &d })
        m->writeSettings (clusterID);

    ASSERT_TRUE (startInTurn ({ &a, &b, &c, &d }));   // B joined first after A: the backup

    ASSERT_TRUE (b.run ("signal " + juce::String (b.programPid) + " " + juce::String (SIGTERM)));
    ASSERT_TRUE (b.waitForExit (20000).has_value());
    ASSERT_TRUE (a.waitForLog ("Server: removed " + juce::String (b.getID())));
    juce::Thread::sleep (500);   // "Backup server" reaches C and D

    a.kill();
    auto const ms = msToOneCluster ({ &c, &d }, nowMicros(), 20000);
    EXPECT_GE (ms, 0) << oneCluster ({ &c, &d }).failure_message();
    std::cout << "C and D one cluster " << ms << " ms after A was lost" << std::endl;

    juce::Thread::sleep (3000);
    EXPECT_TRUE (oneCluster ({ &c, &d }));
}
