#pragma once

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

#include <functional>

/** The surroundings every test process gets from TestMain: a network namespace
    of its own (loopback plus a veth pair t0/t1 with 192.168.77.1/24 on t0 and
    the default route through it, so a broadcast to 255.255.255.255 loops back
    and never leaves the machine), and a fresh HOME and TMPDIR. */
namespace TestEnvironment
{
    /** True when this process runs in a network namespace other than the one of
        PID 1, the machine's own. Tests that open sockets require it. */
    bool inPrivateNetworkNamespace();

    /** The address of the test interface t0 in the default test namespace. */
    inline constexpr const char* testAddress = "192.168.77.1";

    /** Moves the calling thread (and threads it creates later) into a fresh network
        namespace with only "lo" up. Returns false when that is not possible. */
    bool enterLoopbackOnlyNamespace();

    /** Moves the calling thread into a fresh network namespace set up like the
        default test namespace. */
    bool enterTestNamespace();

    /** Runs an "ip" command ("ip " + arguments) in the calling thread's namespace. */
    bool runIp (juce::String const& arguments);

    /** The per-process HOME and TMPDIR folders. */
    juce::File getHome();
    juce::File getTemp();

    /** Waits (bounded) until 'condition' holds; on the message thread it keeps the
        message loop running meanwhile. Returns the condition's last value. */
    bool waitUntil (std::function<bool()> condition, int timeoutMs = 10000);

    /** Runs the message loop for a while; on another thread it only waits. */
    void pump (int ms);

    /** The most address space the process has held so far (VmPeak), in bytes. */
    juce::int64 peakAddressSpace();

    /** Sets up the process: namespace, HOME, TMPDIR. Called by TestMain. */
    void setUpProcess();
    void tearDownProcess();
}

/** Fails the current test unless it runs in a private network namespace. */
#define REQUIRE_PRIVATE_NETWORK()                                                       \
    do {                                                                                \
        if (! TestEnvironment::inPrivateNetworkNamespace())                             \
            GTEST_FAIL() << "refusing to open sockets outside a test network namespace"; \
    } while (false)
