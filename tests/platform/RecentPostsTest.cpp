#include "platform/RecentPosts.h"

#include <gtest/gtest.h>

TEST (RecentPosts, ClaimsTheOldestMatchingEntryOnce)
{
    using Kind = RecentPosts::Kind;
    RecentPosts posts (4);

    posts.add (Kind::keyPress, 38, {}, 100);
    posts.add (Kind::keyPress, 38, {}, 200);
    posts.add (Kind::motion, 0, { 10, 20 }, 200);

    EXPECT_FALSE (posts.claim (Kind::keyRelease, 38, {}));
    EXPECT_FALSE (posts.claim (Kind::keyPress, 39, {}));
    EXPECT_FALSE (posts.claim (Kind::motion, 0, juce::Point<int> (10, 21)));
    EXPECT_TRUE (posts.claim (Kind::motion, 0, juce::Point<int> (10, 20)));
    EXPECT_TRUE (posts.claim (Kind::keyPress, 38, {}));
    EXPECT_EQ (posts.size(), 1u);

    // However late it is claimed, an entry stays until it is forgotten.
    EXPECT_TRUE (posts.claim (Kind::keyPress, 38, {}));

    // The oldest give way when it is full.
    for (juce::uint32 i = 0; i < 6; ++i)
        posts.add (Kind::keyRelease, i, {}, 2000);

    EXPECT_EQ (posts.size(), 4u);
    EXPECT_FALSE (posts.claim (Kind::keyRelease, 0, {}));
    EXPECT_TRUE (posts.claim (Kind::keyRelease, 5, {}));
}

TEST (RecentPosts, ForgetsOnlyEntriesAddedBeforeTheTimeAcrossTheCounterWrap)
{
    using Kind = RecentPosts::Kind;

    // An entry added a moment after the caller read the clock is later,
    // also when the counter wraps in between.
    const struct { juce::uint32 added, time; bool before; } cases[] = {
        { 1000, 2000, true }, { 2001, 2000, false }, { 2000, 2000, false },
        { 0xffffff00u, 0x100u, true }, { 0x10u, 0xfffffff0u, false }, { 5, 4, false },
    };

    for (auto c : cases)
    {
        RecentPosts posts;
        posts.add (Kind::keyPress, 38, {}, c.added);
        EXPECT_EQ (posts.hasEntryAddedBefore (c.time), c.before) << c.added << " " << c.time;
        posts.forgetAddedBefore (c.time);
        EXPECT_EQ (posts.claim (Kind::keyPress, 38, {}), ! c.before) << c.added << " " << c.time;
    }
}
