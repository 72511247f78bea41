#include "platform/RecentPosts.h"

RecentPosts::RecentPosts (juce::uint32 lifetime, size_t maxEntries)
    : lifetimeMs (lifetime), capacity (maxEntries)
{
}

void RecentPosts::add (Kind kind, juce::uint32 detail, juce::Point<int> position, juce::uint32 nowMs)
{
    const std::lock_guard<std::mutex> l (lock);
    dropExpired (nowMs);

    if (entries.size() >= capacity)
        entries.pop_front();

    entries.push_back ({ kind, detail, position, nowMs });
}

bool RecentPosts::claim (Kind kind, juce::uint32 detail, std::optional<juce::Point<int>> position,
                         juce::uint32 nowMs)
{
    const std::lock_guard<std::mutex> l (lock);
    dropExpired (nowMs);

    for (auto it = entries.begin(); it != entries.end(); ++it)
    {
        if (it->kind != kind || it->detail != detail)
            continue;

        if (kind == Kind::motion && position.has_value() && *position != it->position)
            continue;

        entries.erase (it);
        return true;
    }

    return false;
}

void RecentPosts::clear()
{
    const std::lock_guard<std::mutex> l (lock);
    entries.clear();
}

size_t RecentPosts::size() const
{
    const std::lock_guard<std::mutex> l (lock);
    return entries.size();
}

void RecentPosts::dropExpired (juce::uint32 nowMs)
{
    // Unsigned differences stay right when the millisecond counter wraps.
    while (! entries.empty() && nowMs - entries.front().addedMs > lifetimeMs)
        entries.pop_front();
}
