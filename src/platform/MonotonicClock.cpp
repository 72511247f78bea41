#include "platform/MonotonicClock.h"

#include <time.h>

namespace MonotonicClock
{
juce::uint64 getTicks() noexcept
{
    timespec now {};

    if (clock_gettime (CLOCK_MONOTONIC, &now) != 0)
        return 0;

    return (juce::uint64) now.tv_sec * 1000000000u + (juce::uint64) now.tv_nsec;
}
} // namespace MonotonicClock
