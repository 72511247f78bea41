#pragma once

#include <juce_core/juce_core.h>

#include <cstdlib>
#include <memory>
#include <sys/types.h>

/** An Xvfb server of the test's own (-noreset -nolisten tcp, 1920x1080x24) on
    a display number it finds free, for tests that grab the input or change
    the keymap and must not disturb the shared display. The constructor waits
    (bounded) until it answers; the destructor ends it. Extra arguments go to
    Xvfb (for example { "-extension", "XTEST" } to leave XTEST out). */
class ScopedXvfb
{
public:
    explicit ScopedXvfb (juce::StringArray const& extraArguments = {});
    ~ScopedXvfb();

    ScopedXvfb (const ScopedXvfb&) = delete;
    ScopedXvfb& operator= (const ScopedXvfb&) = delete;

    bool isRunning() const noexcept { return number >= 0; }
    juce::String getDisplayName() const { return ":" + juce::String (number); }

    /** Runs a program with "-display :N" after its name (setxkbmap, xset);
        true when it exited with 0 within the time-out. */
    bool runClient (juce::StringArray command, int timeoutMs = 20000) const;

private:
    pid_t pid = -1;
    int number = -1;
};

/** Points DISPLAY at another display while it lives. */
class ScopedDisplay
{
public:
    explicit ScopedDisplay (juce::String const& name) { setenv ("DISPLAY", name.toRawUTF8(), 1); }
    ~ScopedDisplay() { saved != nullptr ? setenv ("DISPLAY", saved->toRawUTF8(), 1) : unsetenv ("DISPLAY"); }

private:
    std::unique_ptr<juce::String> saved = std::getenv ("DISPLAY") ? std::make_unique<juce::String> (std::getenv ("DISPLAY")) : nullptr;
};
