#include "platform/memory/MemoryDisplaySource.h"

std::vector<DisplaySource::Display> MemoryDisplaySource::getDisplays() const
{
    const std::lock_guard<std::mutex> sl (lock);
    return displays;
}

void MemoryDisplaySource::setDisplays (std::vector<Display> newDisplays)
{
    const std::lock_guard<std::mutex> sl (lock);
    displays = std::move (newDisplays);
}
