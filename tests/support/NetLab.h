#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

/** Simulated machines for tests of several machines.

    Each machine is a process of the test-machine program (tests/support/agent)
    in a network namespace of its own, with its own HOME and TMPDIR, driven by
    command lines on its standard input and reporting one line per event on its
    standard output. The lab joins a machine to the test's namespace by a veth
    pair, or several machines by a bridge there (the hub).

    Machines are killed when the lab goes; their links go with their
    namespaces. Every wait is bounded. */
class NetLab
{
public:
    class Machine
    {
    public:
        ~Machine();

        bool send (juce::String const& command);

        /** The first reported line starting with 'prefix' that no wait has taken
            yet, within timeoutMs. */
        std::optional<juce::String> waitForLine (juce::String const& prefix, int timeoutMs = 15000);

        /** Later waits only see lines reported from now on. */
        void forgetLines();

        /** Ends the machine at once, as a crash would. */
        void kill();

        juce::File const home, temp;

    private:
        friend class NetLab;
        Machine (juce::File homeToUse, juce::File tempToUse) : home (homeToUse), temp (tempToUse) {}
        bool readAvailable (int timeoutMs);

        pid_t pid = -1;
        int channel = -1;   // the machine's standard input and output
        std::string buffer;
        juce::StringArray pending;
    };

    NetLab();
    ~NetLab();

    /** Starts a machine in its own namespace; null when that fails. */
    Machine* startMachine (juce::String const& name);

    /** A veth pair to the test's namespace: the machine gets address/24 (and its
        default route) on its end, the test's end gets localAddress/24. */
    bool linkToTest (Machine& machine, juce::String const& address, juce::String const& localAddress);

    /** A veth pair to the hub bridge in the test's namespace; the machine gets address/24. */
    bool linkToHub (Machine& machine, juce::String const& address);

private:
    juce::String addLink (Machine& machine);
    static bool configure (Machine& machine, juce::String const& address);

    std::vector<std::unique_ptr<Machine>> machines;
    bool hubMade = false;
    int nextLink = 0;
};
