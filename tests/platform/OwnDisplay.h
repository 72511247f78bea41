#pragma once

#include <juce_core/juce_core.h>

/** An Xvfb display of a test's own, on a free display number, for tests that
    need a display unlike the shared one. Stopped (and waited for) when
    destroyed; every wait is bounded. */
class OwnDisplay
{
public:
    /** Starts Xvfb with the given extra arguments (for example
        { "-extension", "XTEST" } to leave XTEST out). */
    explicit OwnDisplay (juce::StringArray const& extraArguments = {});
    ~OwnDisplay();

    /** True when the display answers. */
    bool isRunning() const { return running; }

    /** Its name, such as ":123". */
    juce::String getName() const { return name; }

private:
    int pid = -1;
    bool running = false;
    juce::String name;
};

/** Points DISPLAY at another display while it lives. */
class ScopedDisplay
{
public:
    explicit ScopedDisplay (juce::String const& displayName);
    ~ScopedDisplay();

private:
    juce::String saved;
    bool hadOne;
};
