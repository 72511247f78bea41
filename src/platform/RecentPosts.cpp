#include "platform/RecentPosts.h"

#include <algorithm>

RecentPosts::RecentPosts (size_t maxEntries)
    : capacity (maxEntries)
{
}

void RecentPosts::add (Kind kind, juce::uint32 detail, juce::Point<int> position, juce::uint32 nowMs)
{
    const std::lock_guard<std::mutex> l (lock);

    if (entries.size() >= capacity)
        entries.pop_front();

    entries.push_back ({ kind, detail, position, nowMs });
}

bool RecentPosts::claim (Kind kind, juce::uint32 detail, std::optional<juce::Point<int>> position)
{
    const std::lock_guard<std::mutex> l (lock);

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

bool RecentPosts::hasEntryAddedBefore (juce::uint32 timeMs) const
{
    const std::lock_guard<std::mutex> l (lock);
    return std::any_of (entries.begin(), entries.end(), [timeMs] (const Entry& e) { return isBefore (e.addedMs, timeMs); });
}

void RecentPosts::forgetAddedBefore (juce::uint32 timeMs)
{
    const std::lock_guard<std::mutex> l (lock);
    entries.erase (std::remove_if (entries.begin(), entries.end(),
                                   [timeMs] (const Entry& e) { return isBefore (e.addedMs, timeMs); }),
                   entries.end());
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
