#pragma once

#include "e2e/SimulatedCluster.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

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
        if (HasFailure())
            cluster.report (outputFolder());
    }

    static juce::File outputFolder()
    {
        auto const* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return juce::File (CORVELLINE_E2E_OUTPUT).getChildFile (juce::String (info->test_suite_name()) + "." + info->name());
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
                    if (! knows (*a, *b))
                        return ::testing::AssertionFailure() << a->name << " never learnt of " << b->name;
        }

        return ::testing::AssertionSuccess();
    }

    /** Bounded wait for a condition, for the machines' asynchronous results. */
    static bool eventually (std::function<bool()> condition, int timeoutMs = 10000)
    {
        return TestEnvironment::waitUntil (std::move (condition), timeoutMs);
    }
};
