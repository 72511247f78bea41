#pragma once

#include "core/SingletonApplicationProperties.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <cstdio>
#include <cstdlib>

/** The main program of a benchmark that runs a server of the cluster
    'clusterID': in a network namespace of its own, with settings in a folder of
    the run's own (never the user's). */
inline int runServerBenchmarks (int argc, char** argv, int clusterID)
{
    if (! BenchSupport::enterOwnNetworkNamespace())
    {
        std::fprintf (stderr, "bench: cannot enter a network namespace of its own; run it as root inside scripts/sandbox.sh\n");
        return 1;
    }

    auto home = juce::File::createTempFile ("bench-home");
    home.createDirectory();
    setenv ("HOME", home.getFullPathName().toRawUTF8(), 1);
    unsetenv ("XDG_CONFIG_HOME");

    int result = 0;
    {
        juce::ScopedJuceInitialiser_GUI juce;
        SingletonApplicationProperties::configure();
        SingletonApplicationProperties::get().getUserSettings()->setValue ("clusterID", clusterID);

        result = BenchSupport::runSpecifiedBenchmarks (argc, argv);
        SingletonApplicationProperties::get().closeFiles();
    }

    home.deleteRecursively();
    return result;
}
