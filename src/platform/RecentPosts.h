#pragma once

#include <juce_core/juce_core.h>
#include <juce_graphics/juce_graphics.h>

#include <deque>
#include <mutex>
#include <optional>

/** What this program posted into a desktop that keeps no mark on its events,
    remembered so that the event tap can tell its own posts from everything
    else.

    Every low-level event a post produces (a key or button going down or up,
    a pointer move) is added before it is sent; when the tap observes an event,
    claim() looks for the oldest entry of the same kind and detail (for moves:
    the same position) and removes it. An event that claims an entry is this
    program's own.

    Entries do not expire while the tap is busy: a tap that falls behind still
    recognises its own posts however late it reads them. Only the tap forgets
    entries, once it has made sure that everything the desktop did for them
    has reached it (forgetAddedBefore), so that a post the tap never saw
    cannot mark a later physical event. The number of entries is bounded. */
class RecentPosts
{
public:
    enum class Kind { keyPress, keyRelease, buttonPress, buttonRelease, motion };

    explicit RecentPosts (size_t capacity = 8192);

    void add (Kind kind, juce::uint32 detail, juce::Point<int> position, juce::uint32 nowMs);

    /** Removes and reports the oldest entry that matches. Moves match on
        position when the observed one is known. */
    bool claim (Kind kind, juce::uint32 detail, std::optional<juce::Point<int>> position);

    /** True when an entry was added before that time of the millisecond
        counter. Times compare as signed differences, so that they stay right
        across a wrap of the counter and an entry added a moment after the
        caller read the clock counts as later. */
    bool hasEntryAddedBefore (juce::uint32 timeMs) const;

    /** Forgets the entries added before that time. */
    void forgetAddedBefore (juce::uint32 timeMs);

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

    static bool isBefore (juce::uint32 addedMs, juce::uint32 timeMs) noexcept
    {
        return (juce::int32) (addedMs - timeMs) < 0;
    }

    const size_t capacity;
    mutable std::mutex lock;
    std::deque<Entry> entries;
};
