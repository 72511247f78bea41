#pragma once

#include "platform/DisplaySource.h"

#include <mutex>

/** Monitors that a test sets, as a desktop lists them: several, a main
    display away from the origin, negative origins, scaled ones. Readable from
    any thread. Starts with one 1920 x 1080 main display at the origin. */
class MemoryDisplaySource : public DisplaySource
{
public:
    std::vector<Display> getDisplays() const override;

    void setDisplays (std::vector<Display> newDisplays);

private:
    mutable std::mutex lock;
    std::vector<Display> displays { { { 0, 0, 1920, 1080 }, true } };
};
