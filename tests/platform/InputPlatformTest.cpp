// The withholding rules every tap shares, on the in-memory backend.

#include "platform/memory/MemoryInputPlatform.h"
#include "platform/TapRecorder.h"

#include <gmock/gmock.h>

#include <limits>

namespace
{
using Verdict = EventTap::Verdict;
} // namespace

TEST (Withholding, VerdictsOfPhysicalKeysButtonsAndWheelSteerWithholding)
{
    MemoryInputPlatform platform;
    std::atomic<bool> swallow { true };
    std::atomic<int> decide { -1 };
    TapRecorder tap (platform, [&] (const InputEvent&)
    {
        if (decide >= 0)
            platform.setWithholding (decide == 1);

        return swallow ? Verdict::swallow : Verdict::pass;
    });
    ASSERT_TRUE (tap.start());

    auto send = [&] (const InputEvent& e)
    {
        platform.injectEvent (e);
        return platform.waitUntilTapsIdle (5000);
    };

    // Moves and marked events never steer.
    ASSERT_TRUE (send (InputEvent::mouseMove ({ 1, 1 })));
    auto marked = InputEvent::key (0, true);
    marked.sourceUserData = kSyntheticEventMarker;
    ASSERT_TRUE (send (marked));
    EXPECT_FALSE (platform.isWithholding());

    ASSERT_TRUE (send (InputEvent::scroll (10)));
    EXPECT_TRUE (platform.isWithholding());

    swallow = false;
    ASSERT_TRUE (send (InputEvent::mouseButton (1, false, {})));
    EXPECT_FALSE (platform.isWithholding());
    EXPECT_EQ (platform.getWithholdingChanges(), (std::vector<bool> { true, false }));

    // A decision taken while the callback ran stands against its verdict.
    swallow = true;
    decide = 0;
    ASSERT_TRUE (send (InputEvent::key (5, true)));
    EXPECT_FALSE (platform.isWithholding());

    // Disabled, the tap calls nobody, and the event counts as passed.
    tap.tap->setEnabled (false);
    tap.clear();
    ASSERT_TRUE (send (InputEvent::key (5, false)));
    EXPECT_TRUE (tap.events().empty());
    EXPECT_EQ (platform.getSeenEvents().back().verdict, Verdict::pass);

    // Withholding that cannot be had is reported.
    platform.setWithholdingAvailable (false);
    EXPECT_FALSE (platform.setWithholding (true));
    EXPECT_FALSE (platform.isWithholding());
}

TEST (Withholding, AnExplicitDecisionFromAnotherThreadStandsAgainstTheVerdictOfAnEarlierEvent)
{
    // Each callback swallows and has another thread switch withholding off
    // without waiting for it: that decision comes after the callback began,
    // so it stands, wherever it falls against the safety net.
    MemoryInputPlatform platform;
    std::atomic<int> asked { 0 }, done { 0 };
    std::atomic<bool> quit { false };
    std::thread decider ([&]
    {
        while (! quit)
            done < asked ? (void) platform.setWithholding (false), (void) ++done : std::this_thread::yield();
    });
    TapRecorder tap (platform, [&] (const InputEvent&) { ++asked; return Verdict::swallow; });
    ASSERT_TRUE (tap.start());
    int overturned = 0;

    for (int i = 0; i < 200; ++i)
    {
        platform.injectEvent (InputEvent::key (0, i % 2 == 0));
        ASSERT_TRUE (platform.waitUntilTapsIdle (5000));
        ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return done == asked; }, 5000));
        overturned += platform.isWithholding() ? 1 : 0;
    }

    EXPECT_EQ (overturned, 0);
    quit = true;
    decider.join();
}

TEST (MemoryInput, AScrollPostIsHeldToItsBoundOnEachAxisAsOnADesktop)
{
    MemoryInputPlatform platform;
    auto scroll = InputEvent::scroll (std::numeric_limits<juce::int32>::max());
    scroll.scrollDeltaAxis2 = -5000;
    ASSERT_TRUE (platform.postEvent (scroll) && platform.postEvent (InputEvent::scroll (-300)));

    auto const posted = platform.getPostedEvents();
    auto const bound = InputPlatform::maxScrollPixelsPerPost;
    ASSERT_EQ (posted.size(), 2u);
    EXPECT_EQ (std::pair (posted[0].scrollDeltaAxis1, posted[0].scrollDeltaAxis2), std::pair (bound, -bound));
    EXPECT_EQ (posted[1], InputEvent::scroll (-300));
}
