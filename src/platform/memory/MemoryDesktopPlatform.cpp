#include "platform/memory/MemoryDesktopPlatform.h"

bool MemoryDesktopPlatform::isTrusted (bool prompt)
{
    std::lock_guard<std::mutex> guard (trustLock);
    trustChecks.push_back (prompt);
    return trusted;
}

void MemoryDesktopPlatform::setTrusted (bool shouldBeTrusted)
{
    std::lock_guard<std::mutex> guard (trustLock);
    trusted = shouldBeTrusted;
}

std::vector<bool> MemoryDesktopPlatform::getTrustChecks() const
{
    std::lock_guard<std::mutex> guard (trustLock);
    return trustChecks;
}
