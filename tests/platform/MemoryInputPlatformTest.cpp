// The in-memory backend, the withholding rules every tap shares, the layout
// held in memory and the record of recent posts.

#include "platform/memory/MemoryInputPlatform.h"
#include "platform/memory/MemoryKeyboardLayout.h"
#include "platform/RecentPosts.h"
#include "platform/TapRecorder.h"

#include <gmock/gmock.h>

namespace
{
using Verdict = EventTap::Verdict;

juce::String ch (int c) { return juce::String::charToString ((juce::juce_wchar) c); }
} // namespace

TEST (MemoryInputPlatform, TapsSeeInjectedEventsInOrderAndPostsMarked)
{
    MemoryInputPlatform platform;
    platform.injectEvent (InputEvent::key (0, true));   // waits for a tap
    EXPECT_TRUE (platform.postEvent (InputEvent::key (3, true)));   // nobody watches: only recorded
    TapRecorder tap (platform, [] (const InputEvent& e) { return e.type == InputEventType::keyUp ? Verdict::swallow : Verdict::pass; });
    ASSERT_TRUE (tap.start());

    auto move = InputEvent::mouseMove ({ 10, 20 });
    move.delta = { 3, 4 };
    platform.injectEvent (move);
    platform.injectEvent (InputEvent::key (0, false));
    ASSERT_TRUE (platform.waitUntilTapsIdle (5000));
    EXPECT_TRUE (platform.postEvent (InputEvent::mouseButton (0, true, {}, EventFlags::nonCoalesced, 2)));
    EXPECT_TRUE (platform.postEvent (InputEvent::mouseMove ({ 40, 50 })));
    EXPECT_FALSE (platform.postEvent (InputEvent()));
    ASSERT_TRUE (platform.waitUntilTapsIdle (5000));

    auto seen = platform.getSeenEvents();
    ASSERT_EQ (seen.size(), 5u);
    EXPECT_EQ (seen[0].event, InputEvent::key (0, true));
    EXPECT_EQ (seen[1].event, move);
    EXPECT_EQ (seen[2].verdict, Verdict::swallow);
    EXPECT_TRUE (seen[3].event.isMarked());
    EXPECT_EQ (seen[3].event.location, juce::Point<double> (10, 20));   // where the pointer was
    EXPECT_EQ (seen[3].event.clickState, 2);
    EXPECT_TRUE (seen[4].event.isMarked());
    EXPECT_EQ (tap.events().size(), 5u);
    EXPECT_EQ (platform.getPostedEvents().size(), 3u);
    EXPECT_FALSE (platform.getPostedEvents()[1].isMarked());
    EXPECT_EQ (platform.getPointerLocation(), juce::Point<double> (40, 50));

    // A wake-up handed over stops the tap from its callback; it never reaches the desktop.
    ASSERT_TRUE (tap.stop());
    tap.onEvent = [] (EventTap& t, const InputEvent& e) { if (e.isMarked()) t.stop(); };
    ASSERT_TRUE (tap.start());
    auto wakeUp = InputEvent::mouseButton (0, true, {});
    wakeUp.sourceUserData = kSyntheticEventMarker;
    EXPECT_EQ (platform.postToEventTaps (wakeUp), 1);
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return ! tap.tap->isRunning(); }));
    EXPECT_TRUE (platform.getSeenEvents().back().handedOver);
    EXPECT_EQ (platform.getPostedEvents().size(), 3u);

    platform.setEventTapsAvailable (false);
    EXPECT_EQ (platform.createEventTap ([] (EventTap&, const InputEvent&) { return Verdict::pass; }), nullptr);
}

TEST (MemoryInputPlatform, ReleasesWhatPostsHoldPressed)
{
    MemoryInputPlatform platform;

    for (auto e : { InputEvent::key (0, true), InputEvent::key (1, true), InputEvent::key (1, false),
                    InputEvent::unicodeKey (u'\u00e9', true), InputEvent::mouseButton (1, true, {}),
                    InputEvent::mouseButton (2, true, {}), InputEvent::mouseButton (2, false, {}) })
        ASSERT_TRUE (platform.postEvent (e));

    const auto held = platform.getHeldInput();
    EXPECT_EQ (held.keys, std::set<juce::uint16> { 0 });
    EXPECT_EQ (held.units, std::set<char16_t> { u'\u00e9' });
    EXPECT_EQ (held.buttons, std::set<int> { 1 });

    platform.clearRecords();
    platform.releaseHeldInput();
    platform.releaseHeldInput();
    EXPECT_THAT (platform.getPostedEvents(), ::testing::ElementsAre (InputEvent::key (0, false), InputEvent::unicodeKey (u'\u00e9', false),
                                                                     InputEvent::mouseButton (1, false, {})));
    EXPECT_TRUE (platform.getHeldInput().isEmpty());
    EXPECT_EQ (platform.getReleaseCount(), 2);
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

TEST (MemoryKeyboardLayout, DeadKeysComposeOrSpellThemselvesOut)
{
    MemoryKeyboardLayout layout;
    layout.setDeadKey (24, 0xb4);
    layout.setDeadKey (39, '`');

    // A modifier keeps the dead key; space, the dead key again or another
    // dead key give the accent; a key without a composed form both characters.
    const std::pair<juce::uint16, juce::String> typed[] = { { 24, "" }, { 56, "" }, { 14, ch (0xe9) }, { 14, "e" },
                                                            { 24, "" }, { 12, ch (0xb4) + "q" }, { 24, "" }, { 49, ch (0xb4) },
                                                            { 24, "" }, { 24, ch (0xb4) }, { 24, "" }, { 39, ch (0xb4) + "`" } };
    juce::uint32 state = 0;

    for (auto& [code, text] : typed)
    {
        EXPECT_EQ (layout.translate (code, state).toString(), text) << code;
        EXPECT_EQ (state != 0, text.isEmpty()) << code;
    }

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
