#pragma once

#include <juce_core/juce_core.h>
#include <juce_graphics/juce_graphics.h>

#include <deque>
#include <mutex>
#include <optional>

/** What this program posted into a desktop that keeps no mark on its events,
    remembered for a short time so that the event tap can tell its own posts
    from everything else.

    Every low-level event a post produces (a key or button going down or up,
    a pointer move) is added before it is sent; when the tap observes an event,
    claim() looks for the oldest unexpired entry of the same kind and detail
    (for moves: the same position) and removes it. An event that claims an
    entry is this program's own. Entries expire after their lifetime, so that
    a post the tap never saw cannot mark a later physical event for long, and
    the number of entries is bounded. */
class RecentPosts
{
public:
    enum class Kind { keyPress, keyRelease, buttonPress, buttonRelease, motion };

    explicit RecentPosts (juce::uint32 lifetimeMs = 1000, size_t capacity = 1024);

    void add (Kind kind, juce::uint32 detail, juce::Point<int> position, juce::uint32 nowMs);

    /** Removes and reports the oldest live entry that matches. Moves match
        on position when the observed one is known. */
    bool claim (Kind kind, juce::uint32 detail, std::optional<juce::Point<int>> position,
                juce::uint32 nowMs);

    void clear();
    size_t size() const;

private:
    struct Entry
    {
        Kind kind;
        juce::uint32 detail;
        juce::Point<int> position;
        juce::uint32 addedMs;
    };

    void dropExpired (juce::uint32 nowMs);

    const juce::uint32 lifetimeMs;
    const size_t capacity;
    mutable std::mutex lock;
    std::deque<Entry> entries;
};
