// Machines of one cluster that start at the same moment, or that each take
// over when their server is lost, end as one cluster. CORVELLINE_MERGE_RUNS=n
// repeats each start together n times, printing the time to one cluster.
#include "e2e/WholeProgramTest.h"

#include <algorithm>
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

/** One cluster, by the machines' logs: exactly one of them serves, and each
    one's last server is that one, and it knows every machine. */
::testing::AssertionResult oneCluster (std::vector<SimulatedMachine*> const& machines)
{
    std::set<int> all;
    juce::StringArray servers, joined, told;

    for (auto* m : machines)
        all.insert (m->getID());

    bool knowAll = true;

    for (auto* m : machines)
    {
        bool serves = false;
        juce::String server;
        std::set<int> known;
        juce::StringArray lines;
        lines.addLines (m->readLog());

        for (auto const& line : lines)
        {
            auto const id = line.fromFirstOccurrenceOf ("ID: ", false, false).getIntValue();

            if (line.contains ("Starting IPC server...") || line.contains ("Ending this machine's server"))
                serves = line.contains ("Starting");
            else if (line.contains ("ACCEPTED! Client ID: "))
                server = line.fromFirstOccurrenceOf ("Server IP: ", false, false).upToFirstOccurrenceOf (" ", false, false);
            else if (line.contains ("ClientIPC: connection lost") || line.contains ("TCP connection to the server failed"))
                server = {};
            else if (line.contains ("App: clearMachines"))
                known.clear();
            else if (line.contains ("Add to myCopyOfMachines ID: "))
                known.insert (id);
            else if (line.contains ("App: removing monitor ID: "))
                known.erase (id);
        }

        if (serves)
            servers.add (m->address);

        joined.addIfNotAlreadyThere (server);
        knowAll = knowAll && known == all;
        told.add (m->name + (serves ? " serves" : "") + ", joined " + server + ", knows " + juce::String ((int) known.size()));
    }

    if (knowAll && servers.size() == 1 && joined == servers)
        return ::testing::AssertionSuccess();

    return ::testing::AssertionFailure() << told.joinIntoString ("; ");
}

/** Within 20 s of 'since' (of nowMicros) the machines form one cluster, and still do 3 s later. */
::testing::AssertionResult becomeOneCluster (std::vector<SimulatedMachine*> const& machines, juce::int64 since)
{
    if (! TestEnvironment::waitUntil ([&] { return (bool) oneCluster (machines); }, 20000))
        return oneCluster (machines) << " (after 20 s)";

    std::cout << "one cluster after " << (nowMicros() - since) / 1000 << " ms" << std::endl;
    juce::Thread::sleep (3000);
    return oneCluster (machines) << " (3 s after it was one)";
}

/** Starts the machines on threads of their own at one moment, CORVELLINE_MERGE_RUNS times. */
void startTogetherUntilOne (std::vector<SimulatedMachine*> const& machines, int clusterID)
{
    auto const runs = juce::SystemStats::getEnvironmentVariable ("CORVELLINE_MERGE_RUNS", "1").getIntValue();

    for (int run = 1; run <= juce::jmax (1, runs) && ! ::testing::Test::HasFailure(); ++run)
    {
        auto const at = nowMicros() + 500000;
        std::vector<std::thread> starting;

        for (auto* m : machines)
        {
            m->getLogFile().deleteFile();
            m->writeSettings (clusterID);
            starting.emplace_back ([m, at] { m->startAt (at); });
        }

        for (auto& thread : starting)
            thread.join();

        juce::int64 last = 0;

        for (auto* m : machines)
            last = std::max (last, m->startedAt - at);

        std::cout << "run " << run << ": started within " << last << " us, ";
        ASSERT_LE (last, 50000) << "the machines did not start together";   // each search lasts seconds
        EXPECT_TRUE (becomeOneCluster (machines, at)) << "run " << run;

        for (auto* m : machines)
            m->kill();
    }
}
} // namespace

TEST_F (Merge, TwoMachinesStartedTogetherEndAsOneCluster)
{
    startTogetherUntilOne ({ &machine ("A", 1920, 1080), &machine ("B", 1440, 900) }, clusterID);
}

TEST_F (Merge, ThreeMachinesStartedTogetherEndAsOneCluster)
{
    startTogetherUntilOne ({ &machine ("A", 1920, 1080), &machine ("B", 1440, 900), &machine ("C", 1280, 1024) }, clusterID);
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
    EXPECT_TRUE (becomeOneCluster ({ &c, &d }, nowMicros()));
}
