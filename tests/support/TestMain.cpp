#include "support/TestEnvironment.h"

#include <gmock/gmock.h>
#include <juce_events/juce_events.h>

#include <cstring>

// Every test process runs in its own network namespace with its own HOME and
// TMPDIR; the main thread is JUCE's message thread.
int main (int argc, char** argv)
{
    bool listingOnly = false;

    for (int i = 1; i < argc; ++i)
        if (std::strcmp (argv[i], "--gtest_list_tests") == 0)
            listingOnly = true;

    ::testing::InitGoogleMock (&argc, argv);

    if (listingOnly)
        return RUN_ALL_TESTS();

    TestEnvironment::setUpProcess();

    int result = 0;
    {
        juce::ScopedJuceInitialiser_GUI juce;
        result = RUN_ALL_TESTS();
    }

    TestEnvironment::tearDownProcess();
    return result;
}
