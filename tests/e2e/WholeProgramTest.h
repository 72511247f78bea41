#pragma once

#include "e2e/SimulatedCluster.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>

/** X keycodes of the simulated machines' displays (Xvfb's default keymap). */
namespace Keys
{
    inline constexpr int escape = 9, a = 38, s = 39, d = 40, shift = 50;
}

/** A test of the whole program on simulated machines. A failing test leaves
    every machine's log, program output and a screenshot of its display in
    e2e-output/<suite>.<test> and prints them. */
class WholeProgramTest : public ::testing::Test
{
protected:
    static constexpr int clusterID = 4242;

    SimulatedCluster cluster;

    void TearDown() override
    {
        // A sanitizer build's program reports what it finds on its standard
        // error and may end there; the scenario alone need not notice.
        for (auto const& output : cluster.programOutputs())
            for (auto marker : { "ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "WARNING: ThreadSanitizer" })
                if (output.loadFileAsString().contains (marker))
                    ADD_FAILURE() << output.getFullPathName() << " holds a report: " << marker;

        if (HasFailure())
            cluster.report (outputFolder());
    }

    static juce::File outputFolder()
    {
        auto const* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return juce::File (CORVELLINE_E2E_OUTPUT).getChildFile (juce::String (info->test_suite_name()) + "." + info->name());
    }

    /** Where a measuring run writes its report: $CORVELLINE_RESULTS, else the test's output folder. */
    static juce::File resultsFolder()
    {
        auto const folder = juce::SystemStats::getEnvironmentVariable ("CORVELLINE_RESULTS", {});
        auto const result = folder.isNotEmpty() ? juce::File (folder) : outputFolder();
        result.createDirectory();
        return result;
    }

    /** Starts a machine with its display and probe window; fails the test when it cannot. */
    SimulatedMachine& machine (juce::String const& name, int width, int height)
    {
        auto const address = "192.168.78." + juce::String (10 + (int) cluster.getMachines().size() + 1);
        auto* m = cluster.add (name, address, width, height);

        if (m == nullptr)
            throw std::runtime_error (("machine " + name + " did not start").toStdString());

        return *m;
    }

    /** The "Add to myCopyOfMachines" line for 'other' in the log of 'm' after 'from'. */
    static bool knows (SimulatedMachine const& m, SimulatedMachine const& other, int from = 0, int timeoutMs = 20000)
    {
        return m.waitForLog ("Add to myCopyOfMachines ID: " + juce::String (other.getID()) + " ", timeoutMs, from);
    }

    /** Starts the program on each machine in turn, each once the ones before
        it know each other: the first becomes the server, the others join. */
    static ::testing::AssertionResult startInTurn (std::initializer_list<SimulatedMachine*> machines)
    {
        std::vector<SimulatedMachine*> started;

        for (auto* m : machines)
        {
            if (m->start() < 0)
                return ::testing::AssertionFailure() << m->name << " did not start: " << m->lastFailure;

            started.push_back (m);

            for (auto* a : started)
                for (auto* b : started)
                    if (! eventually ([&] { return knows (*a, *b, 0, 0) || ! a->isRunning(); }, 20000) || ! knows (*a, *b, 0, 0))
                        return ::testing::AssertionFailure() << a->name << " never learnt of " << b->name
                                                             << (a->isRunning() ? "" : " (its program ended)");
        }

        return ::testing::AssertionSuccess();
    }

    /** Bounded wait for a condition, for the machines' asynchronous results. */
    static bool eventually (std::function<bool()> condition, int timeoutMs = 10000)
    {
        return TestEnvironment::waitUntil (std::move (condition), timeoutMs);
    }

    /** The keys and buttons arriving at a machine's probe (as takeInput gives
        them) until 'done' holds for them or the time is up, then a little
        longer, so that anything more shows too. */
    static juce::StringArray inputArriving (SimulatedMachine& m, std::function<bool (juce::StringArray const&)> done,
                                            int timeoutMs = 5000)
    {
        juce::StringArray arrived;
        auto const take = [&] { arrived.addTokens (m.takeInput(), " ", {}); arrived.removeEmptyStrings(); };
        eventually ([&] { take(); return done (arrived); }, timeoutMs);
        juce::Thread::sleep (200);
        take();
        return arrived;
    }

    static juce::String inputArriving (SimulatedMachine& m, juce::String const& expected, int timeoutMs = 5000)
    {
        return inputArriving (m, [&] (auto const& arrived) { return arrived.joinIntoString (" ") == expected; }, timeoutMs)
            .joinIntoString (" ");
    }

    /** True once the machine's pointer is within 'tolerance' of 'expected'
        (a move's replay is asynchronous); says where it is otherwise. */
    static ::testing::AssertionResult pointerComesTo (SimulatedMachine& m, juce::Point<int> expected, int tolerance = 0,
                                                       int timeoutMs = 5000)
    {
        juce::Point<int> last;
        bool const ok = eventually ([&]
        {
            last = m.pointer().value_or (juce::Point<int> (-1, -1));
            return std::abs (last.x - expected.x) <= tolerance && std::abs (last.y - expected.y) <= tolerance;
        }, timeoutMs);

        if (ok)
            return ::testing::AssertionSuccess();

        return ::testing::AssertionFailure() << m.name << "'s pointer is at " << last.toString() << ", not at "
                                             << expected.toString() << " (+-" << tolerance << ")";
    }

    /** Moves the pointer of the machine in control by steps until 'arrived' holds. */
    static bool moveUntil (SimulatedMachine& m, int dx, int dy, std::function<bool()> arrived, int maxSteps = 40)
    {
        for (int i = 0; i < maxSteps; ++i)
        {
            if (! m.moveBy (dx, dy))
                return false;

            if (eventually (arrived, 300))
                return true;
        }

        return false;
    }

    /** Pushes the pointer of a machine whose input stays local into one of its
        edges from a point 'inside' (a move that reaches the edge from inside),
        until 'target' logs that it receives; 'pushes', when given, counts the
        pushes made. The log is read from a time, not a length: a long run's
        log is trimmed as it grows. */
    static ::testing::AssertionResult crossInto (SimulatedMachine& from, juce::Point<int> inside, juce::Point<int> edge,
                                                  SimulatedMachine& target, int* pushes = nullptr)
    {
        auto const since = SimulatedMachine::now();

        for (int attempt = 0; attempt < 3; ++attempt)
        {
            if (! from.moveTo (inside) || ! from.moveTo (edge))
                return ::testing::AssertionFailure() << from.lastFailure;

            if (pushes != nullptr)
                ++*pushes;

            if (target.waitForLogSince ("Got receiving mode message", since, 3000))
            {
                if (target.waitForLogSince ("Start SocketThread with bound port", since, 5000))
                    return ::testing::AssertionSuccess();

                return ::testing::AssertionFailure() << target.name << " never read its port";
            }
        }

        return ::testing::AssertionFailure() << "pushing " << from.name << "'s pointer to " << edge.toString() << " gave "
                                             << target.name << " no control";
    }

    /** The machine, told to receive, reads its port: datagrams sent before are lost. */
    static ::testing::AssertionResult receives (SimulatedMachine const& m, int from)
    {
        if (m.waitForLog ("Start SocketThread with bound port", 5000, from))
            return ::testing::AssertionSuccess();

        return ::testing::AssertionFailure() << m.name << " never read its port";
    }

    /** Each machine's event tap runs (the registry of each holds two machines or more). */
    static ::testing::AssertionResult tapsRun (std::initializer_list<SimulatedMachine*> machines, int from = 0)
    {
        for (auto* m : machines)
            if (! m->waitForLog ("Start listener thread", 20000, from))
                return ::testing::AssertionFailure() << m->name << "'s event tap never started";

        return ::testing::AssertionSuccess();
    }
};
