#pragma once

#include <juce_core/juce_core.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

/** Simulated machines for tests of several machines.

    Each machine is a process of the test-machine program (tests/support/agent)
    in a network namespace of its own, with its own HOME and TMPDIR. The lab
    joins a machine to the test's own namespace by a veth pair, or several
    machines by a bridge in the test's namespace (the hub). Machines are driven
    by text commands on their standard input and report on their standard
    output, one line each.

    Everything the lab made goes when it goes, also when a test fails: the
    machines are told to quit, and killed when they do not within a few
    seconds; the links in the test's namespace are deleted (those inside a
    machine's namespace go with it). Every wait is bounded. */
class NetLab
{
public:
    class Machine
    {
    public:
        ~Machine();

        /** Sends one command line. */
        bool send (juce::String const& command);

        /** The next reported line that starts with 'prefix' (lines before it
            that do not match are kept for later waits), within timeoutMs. */
        std::optional<juce::String> waitForLine (juce::String const& prefix, int timeoutMs = 15000);

        /** Every line reported so far. */
        juce::StringArray getLines();

        /** Later waits only see lines reported from now on. */
        void forgetLines();

        /** Ends the machine at once, as a crash would. */
        void kill();

        juce::String const name;
        juce::File const home, temp;
        pid_t pid = -1;
        juce::String address;   // its address, once it has one

    private:
        friend class NetLab;
        Machine (juce::String nameToUse, juce::File homeToUse, juce::File tempToUse);
        void readAvailable (int timeoutMs);
        void stop();

        int toMachine = -1, fromMachine = -1;
        std::string buffer;
        juce::StringArray lines;     // all lines
        std::vector<bool> consumed;
    };

    NetLab();
    ~NetLab();

    /** Starts a machine in its own namespace; null when that fails. */
    Machine* startMachine (juce::String const& name);

    /** Joins a machine to the test's namespace by a veth pair: the machine
        gets address/24 on its end (with its default route through it), the
        test's end gets localAddress/24. */
    bool linkToTest (Machine& machine, juce::String const& address, juce::String const& localAddress);

    /** Joins a machine to the hub bridge of the test's namespace, with
        address/24 and its default route through it. */
    bool linkToHub (Machine& machine, juce::String const& address);

    /** Runs "ip ..." in the test's namespace and remembers links to delete. */
    static bool ip (juce::String const& arguments);

private:
    bool configure (Machine& machine, juce::String const& address);

    std::vector<std::unique_ptr<Machine>> machines;
    juce::StringArray ownLinks;
    bool hubMade = false;
    int nextLink = 0;
};
