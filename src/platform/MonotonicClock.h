#pragma once

#include <juce_core/juce_core.h>

/** The system's monotonic tick counter: nanoseconds since an arbitrary point
    (usually the boot), never going backwards. Used where a seed is wanted that
    differs from one start to the next. */
namespace MonotonicClock
{
    juce::uint64 getTicks() noexcept;
}
