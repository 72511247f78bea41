#include "support/TestEnvironment.h"

#include <gmock/gmock.h>
#include <juce_events/juce_events.h>

namespace
{
juce::JUCEApplicationBase* noApplication() { return nullptr; }
} // namespace

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

    // JUCE sets itself up as in the program only when it believes it runs a
    // standalone application: Xlib's thread support and its X error handlers
    // (without them an X error, such as JUCE's own on a desktop without a
    // window manager, ends the process).
    juce::JUCEApplicationBase::createInstance = &noApplication;

    int result = 0;
    {
        juce::ScopedJuceInitialiser_GUI juce;
        result = RUN_ALL_TESTS();
    }

    TestEnvironment::tearDownProcess();
    return result;
}
