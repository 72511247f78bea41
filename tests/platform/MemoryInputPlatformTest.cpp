// The in-memory backend, the withholding rules every tap shares, the layout
// held in memory and the record of recent posts.

#include "platform/MemoryInputPlatform.h"
#include "platform/MemoryKeyboardLayout.h"
#include "platform/RecentPosts.h"
#include "platform/TapRecorder.h"

#include <gmock/gmock.h>

namespace
{
using Verdict = EventTap::Verdict;

juce::String ch (int c) { return juce::String::charToString ((juce::juce_wchar) c); }

InputEvent move (double x, double y, double dx = 0, double dy = 0)
{
    auto e = InputEvent::mouseMove ({ x, y });
    e.delta = { dx, dy };
    return e;
}
} // namespace

TEST (MemoryInputPlatform, TapReportsInjectedEventsInOrderWithTheirVerdicts)
{
    MemoryInputPlatform platform;
    platform.injectEvent (InputEvent::key (0, true));   // waits for a tap
    TapRecorder tap (platform, [] (const InputEvent& e)
    {
        return e.type == InputEventType::keyUp ? Verdict::swallow : Verdict::pass;
    });
    ASSERT_TRUE (tap.start());

    platform.injectEvent (move (10, 20, 3, 4));
    platform.injectEvent (InputEvent::key (0, false));
    ASSERT_TRUE (platform.waitUntilTapsIdle (5000));

    auto seen = platform.getSeenEvents();
    ASSERT_EQ (seen.size(), 3u);
    EXPECT_EQ (seen[0].event, InputEvent::key (0, true));
    EXPECT_EQ (seen[0].verdict, Verdict::pass);
    EXPECT_EQ (seen[1].event.delta, juce::Point<double> (3, 4));
    EXPECT_EQ (seen[2].verdict, Verdict::swallow);
    EXPECT_FALSE (seen[2].handedOver);
    EXPECT_EQ (platform.getPointerLocation(), juce::Point<double> (10, 20));
    EXPECT_EQ (tap.events().size(), 3u);
}

TEST (MemoryInputPlatform, PostedEventsAreRecordedAndComeBackMarkedWhileATapRuns)
{
    MemoryInputPlatform platform;
    EXPECT_TRUE (platform.postEvent (InputEvent::key (3, true)));   // nobody watches yet

    TapRecorder tap (platform);
    ASSERT_TRUE (tap.start());
    platform.setPointerLocation ({ 5, 6 });
    EXPECT_TRUE (platform.postEvent (InputEvent::mouseButton (0, true, {}, EventFlags::nonCoalesced, 2)));
    EXPECT_TRUE (platform.postEvent (InputEvent::mouseMove ({ 40, 50 })));
    EXPECT_TRUE (platform.postEvent (InputEvent::unicodeKey (u'\u00e9', true)));
    EXPECT_FALSE (platform.postEvent (InputEvent()));
    ASSERT_TRUE (platform.waitUntilTapsIdle (5000));

    auto posted = platform.getPostedEvents();
    ASSERT_EQ (posted.size(), 4u);
    EXPECT_FALSE (posted[1].isMarked());
    EXPECT_EQ (posted[1].clickState, 2);
    EXPECT_EQ (posted[3].unicodeUnit, u'\u00e9');

    auto seen = tap.events();
    ASSERT_EQ (seen.size(), 3u);
    for (auto& e : seen)
        EXPECT_TRUE (e.isMarked());
    EXPECT_EQ (seen[0].location, juce::Point<double> (5, 6));   // where the pointer was
    EXPECT_EQ (platform.getPointerLocation(), juce::Point<double> (40, 50));
}

TEST (MemoryInputPlatform, PointerActivityAndLayoutAreRecordedAndSettable)
{
    MemoryInputPlatform platform;
    EXPECT_TRUE (platform.warpPointer ({ 960, 540 }));
    platform.showCursor();
    platform.declareUserActivity ("KVMWakeup");

    EXPECT_EQ (platform.getPointerLocation(), juce::Point<double> (960, 540));
    EXPECT_EQ (platform.getWarps(), (std::vector<juce::Point<double>> { { 960, 540 } }));
    EXPECT_EQ (platform.getShowCursorCount(), 1);
    EXPECT_EQ (platform.getUserActivityNames(), juce::StringArray { "KVMWakeup" });

    ASSERT_NE (platform.getCurrentKeyboardLayout(), nullptr);
    EXPECT_EQ (platform.getCurrentKeyboardLayout()->getKeyboardType(), MemoryKeyboardLayout::defaultKeyboardType);
    platform.setKeyboardLayout (nullptr);
    EXPECT_EQ (platform.getCurrentKeyboardLayout(), nullptr);

    platform.clearRecords();
    EXPECT_TRUE (platform.getWarps().empty());
    EXPECT_EQ (platform.getShowCursorCount(), 0);
}

TEST (MemoryInputPlatform, TapStopsFromItsCallbackOrAnotherThreadAndRunsAgain)
{
    MemoryInputPlatform platform;
    TapRecorder tap (platform);
    tap.onEvent = [] (EventTap& t, const InputEvent& e) { if (e.isMarked()) t.stop(); };
    ASSERT_TRUE (tap.start());

    // The wake-up: handed over, marked, it reaches the callback, which stops.
    auto wakeUp = InputEvent::mouseButton (0, true, {}, EventFlags::nonCoalesced);
    wakeUp.sourceUserData = kSyntheticEventMarker;
    EXPECT_EQ (platform.postToEventTaps (wakeUp), 1);
    for (int i = 0; i < 1000 && tap.tap->isRunning(); ++i)
        juce::Thread::sleep (5);
    EXPECT_FALSE (tap.tap->isRunning());
    EXPECT_TRUE (tap.stop());
    auto seen = platform.getSeenEvents();
    ASSERT_EQ (seen.size(), 1u);
    EXPECT_TRUE (seen[0].handedOver);
    EXPECT_TRUE (platform.getPostedEvents().empty());   // it never reached the desktop
    EXPECT_EQ (platform.postToEventTaps (wakeUp), 0);

    // A stop before the run makes it return at once; after that it runs again.
    tap.tap->stop();
    EXPECT_TRUE (tap.tap->run());
    tap.onEvent = nullptr;
    ASSERT_TRUE (tap.start());
    platform.injectEvent (InputEvent::key (0, true));
    EXPECT_TRUE (tap.waitForType (InputEventType::keyDown));

    // Disabled: no callback, the event still counts as seen and passed.
    tap.tap->setEnabled (false);
    tap.clear();
    platform.injectEvent (InputEvent::key (0, false));
    ASSERT_TRUE (platform.waitUntilTapsIdle (5000));
    EXPECT_TRUE (tap.events().empty());
    EXPECT_EQ (platform.getSeenEvents().back().verdict, Verdict::pass);
    EXPECT_TRUE (tap.stop());

    platform.setEventTapsAvailable (false);
    EXPECT_EQ (platform.createEventTap ([] (EventTap&, const InputEvent&) { return Verdict::pass; }), nullptr);
}

TEST (MemoryInputPlatform, VerdictsOfPhysicalKeysButtonsAndWheelSteerWithholding)
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
    ASSERT_TRUE (send (move (1, 1)));
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

    // Withholding that cannot be had is reported.
    decide = -1;
    platform.setWithholdingAvailable (false);
    EXPECT_FALSE (platform.setWithholding (true));
    EXPECT_FALSE (platform.isWithholding());
    EXPECT_TRUE (platform.setWithholding (false));
}

TEST (MemoryKeyboardLayout, DeadKeysComposeOrSpellThemselvesOut)
{
    MemoryKeyboardLayout layout;
    layout.setDeadKey (24, 0xb4);
    layout.setDeadKey (39, '`');

    auto type = [&] (juce::uint16 code, juce::uint32& state) { return layout.translate (code, state).toString(); };
    juce::uint32 state = 0;

    EXPECT_EQ (type (24, state), "");
    EXPECT_NE (state, 0u);
    EXPECT_EQ (type (56, state), "");          // a modifier keeps the dead key
    EXPECT_EQ (type (14, state), ch (0xe9));   // é
    EXPECT_EQ (state, 0u);
    EXPECT_EQ (type (14, state), "e");

    type (24, state);
    EXPECT_EQ (type (12, state), ch (0xb4) + "q");
    type (24, state);
    EXPECT_EQ (type (49, state), ch (0xb4));
    type (24, state);
    EXPECT_EQ (type (24, state), ch (0xb4));
    type (24, state);
    EXPECT_EQ (type (39, state), ch (0xb4) + "`");
    EXPECT_EQ (state, 0u);

    EXPECT_FALSE (layout.translate (128, state).ok);
    EXPECT_TRUE (layout.translate (66, state).ok);   // a code without a key types nothing
    EXPECT_EQ (layout.translate (66, state).length, 0);
}

TEST (RecentPosts, ClaimsTheOldestMatchingLiveEntryOnce)
{
    using Kind = RecentPosts::Kind;
    RecentPosts posts (1000, 4);

    posts.add (Kind::keyPress, 38, {}, 100);
    posts.add (Kind::keyPress, 38, {}, 200);
    posts.add (Kind::motion, 0, { 10, 20 }, 200);

    EXPECT_FALSE (posts.claim (Kind::keyRelease, 38, {}, 300));
    EXPECT_FALSE (posts.claim (Kind::keyPress, 39, {}, 300));
    EXPECT_FALSE (posts.claim (Kind::motion, 0, juce::Point<int> (10, 21), 300));
    EXPECT_TRUE (posts.claim (Kind::motion, 0, juce::Point<int> (10, 20), 300));
    EXPECT_TRUE (posts.claim (Kind::keyPress, 38, {}, 300));
    EXPECT_EQ (posts.size(), 1u);

    // Entries expire, across a wrap of the millisecond counter too.
    EXPECT_FALSE (posts.claim (Kind::keyPress, 38, {}, 1201));
    posts.add (Kind::buttonPress, 1, {}, 0xffffff00u);
    EXPECT_TRUE (posts.claim (Kind::buttonPress, 1, {}, 0x100u));

    // The oldest give way when it is full.
    for (juce::uint32 i = 0; i < 6; ++i)
        posts.add (Kind::keyRelease, i, {}, 2000);

    EXPECT_EQ (posts.size(), 4u);
    EXPECT_FALSE (posts.claim (Kind::keyRelease, 0, {}, 2000));
    EXPECT_TRUE (posts.claim (Kind::keyRelease, 5, {}, 2000));
}
