// The X11 backend under an Xvfb of each test's own: what it posts as another
// client sees it, what its tap reports, withholding, and the tap's lifecycle.

#include "platform/X11Backend.h"
#include "platform/x11/X11InputPlatform.h"
#include "support/X11Probe.h"
#include "platform/TapRecorder.h"
#include "support/ScopedXvfb.h"

#include <gmock/gmock.h>

#include <dirent.h>

using ::testing::ElementsAre;
using TestEnvironment::waitUntil;

namespace
{
// Keycodes of Xvfb's default (evdev) keymap. What the probe saw reads as
// X11Probe::describe gives it: "K38/1" is a press of keycode 38 (a) with
// state 1 (Shift); 4 is Control, 36 Return, 37 Control, 39 s, 50 Shift.
constexpr int keycodeA = 38, keycodeS = 39, keycodeShiftL = 50;
using Type = InputEventType;
constexpr auto plain = EventFlags::nonCoalesced;

int countEntries (const char* folder)
{
    int count = 0;

    if (auto* dir = opendir (folder))
    {
        while (auto* entry = readdir (dir))
            count += entry->d_name[0] != '.' ? 1 : 0;

        closedir (dir);
    }

    return count;
}

class X11Input : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE (xvfb.isRunning());
        platform = createX11InputPlatform (xvfb.getDisplayName());
        ASSERT_NE (platform, nullptr);
        probe = std::make_unique<X11Probe> (xvfb.getDisplayName());
        ASSERT_TRUE (probe->isOk());
    }

    bool post (const InputEvent& event) { return platform->postEvent (event); }

    ScopedXvfb xvfb;
    std::unique_ptr<InputPlatform> platform;
    std::unique_ptr<X11Probe> probe;
};
} // namespace

TEST_F (X11Input, PostedEventsReachAnotherClient)
{
    EXPECT_EQ (createX11InputPlatform (":4321"), nullptr);   // no such display
    EXPECT_EQ (loadX11KeyboardLayout (":4321"), nullptr);
    ASSERT_TRUE (probe->showWindow());

    // Keys by macOS code. Modifier flags are held state: Shift goes down when
    // the flags gain it, stays down over keys, and goes up when they lose it.
    // A modifier posted by its own code is pressed as a key.
    const auto shift = plain | EventFlags::shift;

    for (auto e : { InputEvent::key (0, true), InputEvent::key (0, false), InputEvent::key (1, true, shift),
                    InputEvent::key (0, true, shift), InputEvent::key (0, false, shift), InputEvent::key (1, false),
                    InputEvent::key (MacKeyCodes::shift, true), InputEvent::key (MacKeyCodes::shift, false) })
        EXPECT_TRUE (post (e)) << e.describe();

    EXPECT_EQ (X11Probe::describe (probe->take (10)), "K38/0 k38/0 K50/0 K39/1 K38/1 k38/1 k50/1 k39/0 K50/0 k50/1");

    // Codes without a key, and types that cannot be posted, are refused.
    InputEvent flagsChanged;
    flagsChanged.type = Type::flagsChanged;

    for (auto e : { InputEvent::key (52, true), InputEvent::key (200, true), flagsChanged })
        EXPECT_FALSE (post (e)) << e.describe();

    // The pointer, a left drag, a right click, a left click with Control held.
    EXPECT_TRUE (post (InputEvent::mouseMove ({ 300.4, 400.6 })));
    EXPECT_TRUE (waitUntil ([&] { return probe->getPointer() == juce::Point<int> (300, 401); }));
    const auto control = plain | EventFlags::control;

    for (auto e : { InputEvent::mouseButton (0, true, {}), InputEvent::mouseMove ({ 320, 410 }, true),
                    InputEvent::mouseButton (0, false, {}), InputEvent::mouseButton (1, true, {}),
                    InputEvent::mouseButton (1, false, {}), InputEvent::mouseButton (0, true, {}, control),
                    InputEvent::mouseButton (0, false, {}, control), InputEvent::scroll (10) })
        EXPECT_TRUE (post (e)) << e.describe();

    EXPECT_EQ (X11Probe::describe (probe->take (10)), "B1/0 b1/256 B3/0 b3/1024 K37/0 B1/4 b1/260 k37/4 B4/0 b4/2048");
    EXPECT_EQ (probe->getPointer(), juce::Point<int> (320, 410));

    // Ten pixels make one wheel click (4 up, 5 down); the rest counts towards
    // the next, and a turn drops it. One post makes at most a hundred clicks.
    const struct { int pixels, button, clicks; } scrolls[] = { { 100000, 4, 100 }, { 30, 4, 3 }, { -25, 5, 2 }, { -5, 5, 1 },
                                                               { -4, 5, 0 }, { 7, 4, 0 } };

    for (auto s : scrolls)
    {
        EXPECT_TRUE (post (InputEvent::scroll (s.pixels)));
        auto events = probe->take ((size_t) s.clicks * 2);
        EXPECT_EQ (events.size(), (size_t) s.clicks * 2) << s.pixels;

        for (auto& e : events)
            EXPECT_EQ (e.detail, s.button) << s.pixels;
    }

    // A character without a key (é in a US layout) goes through a spare keycode
    // that types it, the euro sign too; keys that type a character use that key.
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u00e9', true)));
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u00e9', false)));
    auto events = probe->take (2);
    ASSERT_EQ (events.size(), 2u);
    const int spare = events[0].detail;
    EXPECT_EQ (events[1].detail, spare);
    EXPECT_EQ (probe->keysymOf (spare), 0xe9u);

    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u20ac', true)));
    events = probe->take (1);
    ASSERT_EQ (events.size(), 1u);
    EXPECT_EQ (probe->keysymOf (events[0].detail), 0x10020acu);
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u20ac', false)));

    for (auto unit : { u'A', u'\r' })
    {
        EXPECT_TRUE (post (InputEvent::unicodeKey (unit, true)));
        EXPECT_TRUE (post (InputEvent::unicodeKey (unit, false)));
    }

    EXPECT_EQ (X11Probe::describe (probe->take()), "k" + juce::String (events[0].detail) + "/0 K50/0 K38/1 k50/1 k38/0 K36/0 k36/0");

    // A lone surrogate cannot be typed; a release without a press is refused.
    EXPECT_FALSE (post (InputEvent::unicodeKey (0xd800, true)));
    EXPECT_FALSE (post (InputEvent::unicodeKey (u'z', false)));

    // The spare keycode is given back some time after its last use.
    juce::Thread::sleep (250);
    EXPECT_TRUE (post (InputEvent::mouseMove ({ 5, 5 })));
    EXPECT_EQ (probe->keysymOf (spare), 0u);

    // What posts hold pressed is released on request, and when the platform goes.
    EXPECT_TRUE (post (InputEvent::key (0, true)));
    EXPECT_TRUE (post (InputEvent::mouseButton (1, true, {})));
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u00e9', true)));
    EXPECT_EQ (probe->take (3).size(), 3u);
    platform->releaseHeldInput();
    auto const released = X11Probe::describe (probe->take (3));
    EXPECT_TRUE (released.contains ("k38/") && released.contains ("k" + juce::String (spare) + "/") && released.contains ("b3/")) << released;

    platform->releaseHeldInput();
    EXPECT_TRUE (post (InputEvent::key (1, true)));
    EXPECT_EQ (probe->take (1).size(), 1u);
    platform.reset();
    EXPECT_EQ (X11Probe::describe (probe->take()), "k39/0");
}

TEST_F (X11Input, TapReportsOtherClientsUnmarkedAndOwnPostsMarked)
{
    TapRecorder tap (*platform);
    ASSERT_TRUE (tap.start());

    // Another client's keys with Shift: physical, unmarked, with the modifier flags.
    const auto shifted = plain | EventFlags::shift;

    for (auto [keycode, down] : { std::pair (keycodeShiftL, true), { keycodeA, true }, { keycodeA, false }, { keycodeShiftL, false } })
        probe->key (keycode, down);

    ASSERT_TRUE (tap.waitForCount (4));
    auto events = tap.events();
    ASSERT_EQ (events.size(), 4u);
    const std::tuple<Type, int, juce::uint64> keys[] = { { Type::flagsChanged, MacKeyCodes::shift, shifted }, { Type::keyDown, 0, shifted },
                                                         { Type::keyUp, 0, shifted }, { Type::flagsChanged, MacKeyCodes::shift, plain } };

    for (size_t i = 0; i < events.size(); ++i)
    {
        EXPECT_EQ (std::tuple (events[i].type, (int) events[i].keyCode, events[i].flags), keys[i]) << events[i].describe();
        EXPECT_FALSE (events[i].isMarked());
    }

    // Our own keys come back marked.
    tap.clear();
    EXPECT_TRUE (post (InputEvent::key (1, true)));
    EXPECT_TRUE (post (InputEvent::key (1, false)));
    ASSERT_TRUE (tap.waitForType (Type::keyUp, 1));
    events = tap.events();
    ASSERT_EQ (events.size(), 2u);
    EXPECT_EQ (events[0].sourceUserData, kSyntheticEventMarker);
    EXPECT_TRUE (events[1].isMarked());

    // Moves: the other client's unmarked, ours marked, deltas between them;
    // a warp makes no event, and the next delta starts from it.
    tap.clear();
    probe->moveTo ({ 100, 100 });
    ASSERT_TRUE (tap.waitForCount (1));
    EXPECT_TRUE (post (InputEvent::mouseMove ({ 200, 150 })));
    ASSERT_TRUE (tap.waitForCount (2));
    EXPECT_TRUE (platform->warpPointer ({ 960, 540 }));
    EXPECT_EQ (probe->getPointer(), juce::Point<int> (960, 540));
    EXPECT_EQ (platform->getPointerLocation(), juce::Point<double> (960, 540));
    platform->showCursor();
    probe->moveTo ({ 970, 535 });
    ASSERT_TRUE (tap.waitForCount (3));
    events = tap.events();
    ASSERT_EQ (events.size(), 3u);
    EXPECT_FALSE (events[0].isMarked());
    EXPECT_EQ (events[0].location, juce::Point<double> (100, 100));
    EXPECT_TRUE (events[1].isMarked());
    EXPECT_EQ (events[1].delta, juce::Point<double> (100, 50));
    EXPECT_FALSE (events[2].isMarked());
    EXPECT_EQ (events[2].location, juce::Point<double> (970, 535));
    EXPECT_EQ (events[2].delta, juce::Point<double> (10, -5));

    // A posted click and scroll come back marked, with our modifier around them.
    tap.clear();
    EXPECT_TRUE (post (InputEvent::mouseButton (1, true, {}, plain | EventFlags::command)));
    EXPECT_TRUE (post (InputEvent::mouseButton (1, false, {})));
    EXPECT_TRUE (post (InputEvent::scroll (-10)));
    ASSERT_TRUE (tap.waitForType (Type::scrollWheel));
    auto rightDown = tap.find (Type::rightMouseDown);
    ASSERT_TRUE (rightDown.has_value());
    EXPECT_EQ (rightDown->flags, plain | EventFlags::command);
    EXPECT_EQ (rightDown->location, juce::Point<double> (970, 535));
    EXPECT_EQ (tap.find (Type::scrollWheel)->scrollDeltaAxis1, -10);

    for (auto& e : tap.events())
        EXPECT_TRUE (e.isMarked()) << e.describe();

    // Another client's clicks: two quick ones, then a drag, then the wheel up
    // and to the right. The tap reads the pointer when it sees an event, so
    // the moves wait until it has seen the one before.
    tap.clear();
    probe->moveTo ({ 500, 500 });
    ASSERT_TRUE (tap.waitForCount (1));

    for (int i = 0; i < 5; ++i)
        probe->button (1, i % 2 == 0);

    ASSERT_TRUE (tap.waitForCount (6));
    probe->moveTo ({ 520, 510 });

    for (auto [button, down] : { std::pair (1, false), { 4, true }, { 4, false }, { 7, true }, { 7, false } })
        probe->button (button, down);

    ASSERT_TRUE (tap.waitForCount (10));
    events = tap.events();
    std::vector<juce::int64> clicks;

    for (auto& e : events)
        if (e.type == Type::leftMouseDown || e.type == Type::leftMouseUp)
            clicks.push_back (e.clickState);

    EXPECT_THAT (clicks, ElementsAre (1, 1, 2, 2, 3, 3));
    auto drag = tap.find (Type::leftMouseDragged);
    ASSERT_TRUE (drag.has_value());
    EXPECT_EQ (drag->location, juce::Point<double> (520, 510));
    EXPECT_EQ (drag->delta, juce::Point<double> (20, 10));
    EXPECT_EQ (tap.find (Type::scrollWheel)->scrollDeltaAxis1, 10);
    EXPECT_EQ (events.back().type, Type::scrollWheel);
    EXPECT_EQ (std::pair (events.back().scrollDeltaAxis1, events.back().scrollDeltaAxis2), std::pair (0, -10));
}

TEST_F (X11Input, AHeldKeyRepeatsOncePerRepeatAsReceiverAndAsSender)
{
    ASSERT_TRUE (xvfb.runClient ({ "xset", "r", "rate", "150", "40" }));
    ASSERT_TRUE (probe->showWindow());
    ASSERT_TRUE (probe->autoRepeats (keycodeA));

    // Receiver: a sender's held Shift+a arrives as key downs with Shift, well
    // past the repeat delay; each is one "A", and the server adds none.
    const auto shift = plain | EventFlags::shift;

    for (int i = 0; i < 3; ++i)
    {
        EXPECT_TRUE (post (InputEvent::key (0, true, shift)));
        juce::Thread::sleep (250);
    }

    EXPECT_FALSE (probe->autoRepeats (keycodeA)) << "no repeats of its own while a post holds it";
    EXPECT_TRUE (post (InputEvent::key (0, false, shift)));
    platform->releaseHeldInput();
    EXPECT_EQ (X11Probe::describe (probe->take()), "K50/0 K38/1 k38/1 K38/1 k38/1 K38/1 k38/1 k50/1");
    EXPECT_TRUE (probe->autoRepeats (keycodeA));

    // Sender: a key held on the local keyboard reaches the tap as a key down
    // per repeat, as many as the server made, then one key up; a held
    // modifier does not repeat.
    TapRecorder tap (*platform);
    ASSERT_TRUE (tap.start());
    probe->key (keycodeShiftL, true);
    probe->key (keycodeS, true);
    juce::Thread::sleep (400);
    probe->key (keycodeS, false);
    probe->key (keycodeShiftL, false);
    ASSERT_TRUE (waitUntil ([&] { auto e = tap.events(); return e.size() > 3 && e.back().type == Type::flagsChanged; }));

    int downs = 0, ups = 0, modifiers = 0;

    for (auto& e : tap.events())
    {
        EXPECT_FALSE (e.isMarked()) << e.describe();
        downs += e.type == Type::keyDown && e.keyCode == 1 && e.flags == shift ? 1 : 0;
        ups += e.type == Type::keyUp ? 1 : 0;
        modifiers += e.type == Type::flagsChanged ? 1 : 0;
    }

    int pressesSeen = 0;

    for (auto& e : probe->take())
        pressesSeen += e.type == XCB_KEY_PRESS && e.detail == keycodeS ? 1 : 0;

    EXPECT_GE (downs, 4);
    EXPECT_NEAR (downs, pressesSeen, 1);
    EXPECT_EQ (ups, 1);
    EXPECT_EQ (modifiers, 2);
}

TEST_F (X11Input, ATapThatFallsBehindStillKnowsItsOwnPostsAndForgetsThoseItNeverSees)
{
    // The callback takes 1.5 s over the first event while posts go on.
    std::atomic<bool> first { true };
    TapRecorder tap (*platform);
    tap.onEvent = [&] (EventTap&, const InputEvent&) { if (first.exchange (false)) juce::Thread::sleep (1500); };
    ASSERT_TRUE (tap.start());

    for (auto e : { InputEvent::key (0, true), InputEvent::key (0, false), InputEvent::mouseMove ({ 40, 50 }),
                    InputEvent::mouseButton (1, true, {}), InputEvent::mouseButton (1, false, {}),
                    InputEvent::key (1, true), InputEvent::key (1, false) })
    {
        EXPECT_TRUE (post (e));
        juce::Thread::sleep (20);
    }

    ASSERT_TRUE (tap.waitForCount (7));

    for (auto& e : tap.events())
        EXPECT_TRUE (e.isMarked()) << e.describe();

    // A post whose event never comes is forgotten, and marks nothing later.
    auto* x11 = dynamic_cast<X11InputPlatform*> (platform.get());
    ASSERT_NE (x11, nullptr);
    x11->getRecentPosts().add (RecentPosts::Kind::keyPress, keycodeA, {}, juce::Time::getMillisecondCounter());
    EXPECT_TRUE (waitUntil ([&] { return x11->getRecentPosts().size() == 0; }, 5000));
    tap.clear();
    probe->key (keycodeA, true);
    ASSERT_TRUE (tap.waitForType (Type::keyDown));
    EXPECT_FALSE (tap.events().front().isMarked());
    probe->key (keycodeA, false);
}

TEST_F (X11Input, ATapThatFallsBehindReportsEachMotionWhereItPutThePointer)
{
    // The callback takes a second over the first motion while the pointer
    // moves on: to a point, into the right edge and on against it (where the
    // pointer stays), back; the program's own move; another client's step.
    std::atomic<bool> first { true };
    TapRecorder tap (*platform);
    tap.onEvent = [&] (EventTap&, const InputEvent&) { if (first.exchange (false)) juce::Thread::sleep (1000); };
    ASSERT_TRUE (tap.start());
    probe->moveTo ({ 100, 100 });
    ASSERT_TRUE (tap.waitForCount (1));

    probe->moveTo ({ 1900, 500 });
    probe->moveTo ({ 1919, 500 });
    probe->moveBy ({ 5, 0 });
    probe->moveBy ({ -10, 2 });
    probe->sync();
    EXPECT_TRUE (post (InputEvent::mouseMove ({ 300, 300 })));
    ASSERT_TRUE (waitUntil ([&] { return probe->getPointer() == juce::Point<int> (300, 300); }));
    probe->moveBy ({ 5, 5 });
    ASSERT_TRUE (tap.waitForCount (7));

    using P = juce::Point<double>;
    const std::tuple<P, P, bool> expected[] = { { { 1900, 500 }, { 1800, 400 }, false }, { { 1919, 500 }, { 19, 0 }, false },
                                                { { 1919, 500 }, { 5, 0 }, false },      { { 1909, 502 }, { -10, 2 }, false },
                                                { { 300, 300 }, { -1609, -202 }, true }, { { 305, 305 }, { 5, 5 }, false } };
    auto events = tap.events();
    ASSERT_EQ (events.size(), 7u);

    for (size_t i = 0; i < std::size (expected); ++i)
        EXPECT_EQ (std::tuple (events[i + 1].location, events[i + 1].delta, events[i + 1].isMarked()), expected[i]) << i;
}

TEST_F (X11Input, WithholdingKeepsKeysAndClicksFromWindowsButNotFromTheTap)
{
    ASSERT_TRUE (probe->showWindow());

    // The callback swallows while withholding, as the application's does: a
    // passing verdict switches withholding off, a swallowing one on.
    std::atomic<bool> swallow { true };
    TapRecorder tap (*platform, [&] (const InputEvent&) { return swallow ? EventTap::Verdict::swallow : EventTap::Verdict::pass; });
    ASSERT_TRUE (tap.start());

    ASSERT_TRUE (platform->setWithholding (true));
    EXPECT_TRUE (platform->isWithholding());

    for (auto [keycode, down] : { std::pair (keycodeA, true), { keycodeA, false } })
        probe->key (keycode, down);

    for (auto [button, down] : { std::pair (1, true), { 1, false }, { 4, true }, { 4, false } })
        probe->button (button, down);

    probe->moveTo ({ 700, 500 });
    EXPECT_EQ (X11Probe::describe (probe->take()), "");
    EXPECT_EQ (probe->getPointer(), juce::Point<int> (700, 500));   // the pointer still moves

    for (auto type : { Type::mouseMoved, Type::keyDown, Type::leftMouseDown, Type::scrollWheel })
        EXPECT_TRUE (tap.waitForType (type)) << (int) type;

    EXPECT_TRUE (platform->warpPointer ({ 960, 540 }));
    EXPECT_EQ (probe->getPointer(), juce::Point<int> (960, 540));

    swallow = false;
    ASSERT_TRUE (platform->setWithholding (false));
    EXPECT_FALSE (platform->isWithholding());
    probe->key (keycodeA, true);
    probe->button (1, true);
    probe->button (1, false);
    EXPECT_EQ (X11Probe::describe (probe->take (3)), "K38/0 B1/0 b1/256");

    // Verdicts steer it: the first swallowed key cannot be recalled, the next
    // ones are withheld. Moves never switch it, marked events neither; a
    // passed key releases it.
    swallow = true;
    probe->key (keycodeS, true);
    ASSERT_TRUE (waitUntil ([&] { return platform->isWithholding(); }));
    probe->key (keycodeS, false);
    probe->key (keycodeA, false);
    EXPECT_EQ (X11Probe::describe (probe->take()), "K39/0");

    swallow = false;
    tap.clear();
    probe->moveTo ({ 10, 10 });
    EXPECT_TRUE (post (InputEvent::key (0, true)));
    EXPECT_TRUE (post (InputEvent::key (0, false)));
    ASSERT_TRUE (tap.waitForCount (3));
    EXPECT_TRUE (platform->isWithholding());
    probe->key (keycodeS, true);
    ASSERT_TRUE (waitUntil ([&] { return ! platform->isWithholding(); }));
    probe->key (keycodeS, false);
    EXPECT_EQ (X11Probe::describe (probe->take()), "k39/0");

    // It cannot be had while another program holds the keyboard.
    ASSERT_TRUE (probe->grabKeyboard());
    EXPECT_FALSE (platform->setWithholding (true));
    EXPECT_FALSE (platform->isWithholding());
}

TEST_F (X11Input, TapLifecycleLeaksNothingOverAHundredCyclesAndUserActivityWakes)
{
    {
        TapRecorder tap (*platform);
        ASSERT_TRUE (tap.start());   // anything created once and kept stays out of the count
    }

    const int files = countEntries ("/proc/self/fd"), threads = countEntries ("/proc/self/task");
    const int clients = probe->countClients();
    ASSERT_GT (clients, 0);

    for (int i = 0; i < 100; ++i)
    {
        TapRecorder tap (*platform);
        ASSERT_TRUE (tap.start());
        ASSERT_TRUE (tap.stop());
        ASSERT_TRUE (tap.result);
    }

    EXPECT_EQ (countEntries ("/proc/self/fd"), files);
    EXPECT_EQ (countEntries ("/proc/self/task"), threads);
    EXPECT_TRUE (waitUntil ([&] { return probe->countClients() == clients; }));

    // Nobody has touched the input since the start: declaring activity resets the idle time.
    ASSERT_TRUE (waitUntil ([&] { return probe->getIdleMs() >= 1000; }));
    platform->declareUserActivity ("KVMWakeup");
    EXPECT_TRUE (waitUntil ([&] { return probe->getIdleMs() < 1000; }));

    // Events handed over reach the callback on the tap's thread, which stops the tap.
    TapRecorder tap (*platform);
    tap.onEvent = [] (EventTap& t, const InputEvent& e) { if (e.isMarked()) t.stop(); };
    ASSERT_TRUE (tap.start());
    auto wakeUp = InputEvent::mouseButton (0, true, platform->getPointerLocation());
    wakeUp.sourceUserData = kSyntheticEventMarker;
    EXPECT_EQ (platform->postToEventTaps (wakeUp), 1);
    EXPECT_TRUE (waitUntil ([&] { return ! tap.tap->isRunning(); }));
    EXPECT_TRUE (tap.stop());
    EXPECT_THAT (tap.events(), ElementsAre (wakeUp));
    EXPECT_EQ (platform->postToEventTaps (wakeUp), 0);

    // A stop asked for before the tap runs makes the next run return at once;
    // then it runs again, and disabled it calls nobody.
    tap.onEvent = nullptr;
    tap.tap->stop();
    EXPECT_TRUE (tap.tap->run());
    ASSERT_TRUE (tap.start());
    probe->key (keycodeA, true);
    EXPECT_TRUE (tap.waitForType (Type::keyDown, 0));
    tap.tap->setEnabled (false);
    tap.clear();
    probe->key (keycodeA, false);
    juce::Thread::sleep (100);
    EXPECT_THAT (tap.events(), ElementsAre());
}

// A move posted far beyond the screen ends on its edge and still counts as
// ours. Caps Lock travels as the alpha-shift flag both ways: the tap reports
// it while the lock is on, and posts lock and unlock it as their flags gain
// and lose it, and give back a lock they made.
TEST_F (X11Input, FarMovesStayOursAndCapsLockTravelsAsAFlag)
{
    ASSERT_TRUE (probe->showWindow());
    TapRecorder tap (*platform);
    ASSERT_TRUE (tap.start());

    EXPECT_TRUE (post (InputEvent::mouseMove ({ 40000.0, 300.0 })));
    ASSERT_TRUE (tap.waitForCount (1));
    EXPECT_TRUE (tap.events()[0].isMarked());
    EXPECT_EQ (probe->getPointer(), juce::Point<int> (1919, 300));

    constexpr int keycodeCapsLock = 66;
    tap.clear();

    for (int i = 0; i < 2; ++i)
        for (auto [keycode, down] : { std::pair (keycodeCapsLock, true), { keycodeCapsLock, false }, { keycodeA, true }, { keycodeA, false } })
            probe->key (keycode, down);

    ASSERT_TRUE (tap.waitForCount (8));
    std::vector<bool> locked;

    for (auto& e : tap.events())
        if (e.type == Type::keyDown)
            locked.push_back ((e.flags & EventFlags::alphaShift) != 0);

    EXPECT_THAT (locked, ElementsAre (true, false));
    probe->take();

    const auto alpha = plain | EventFlags::alphaShift;

    for (auto e : { InputEvent::key (0, true, alpha), InputEvent::key (0, false, alpha), InputEvent::mouseButton (0, true, {}, alpha),
                    InputEvent::mouseButton (0, false, {}, alpha), InputEvent::key (0, true), InputEvent::key (0, false),
                    InputEvent::key (0, true, alpha) })
        EXPECT_TRUE (post (e)) << e.describe();

    platform->releaseHeldInput();
    EXPECT_EQ (X11Probe::describe (probe->take()), "K38/2 k38/2 B1/2 b1/258 K38/0 k38/0 K38/2 k38/2");
    ASSERT_TRUE (static_cast<X11InputPlatform&> (*platform).syncControl());
    probe->key (keycodeA, true);
    EXPECT_EQ (X11Probe::describe (probe->take (1)), "K38/0") << "the lock posts made is given back";
}

// A receiver whose Caps Lock key types Escape (a common remapping) and whose
// own lock is on: posts lock and unlock the modifier itself, from the first
// post on, without a key event, and the receiver's own lock comes back when
// posts let go. A Caps Lock key posted by its code turns the lock over, also
// without pressing the key at its place.
TEST_F (X11Input, CapsLockFollowsTheSendersLockWhateverKeySitsAtItsPlace)
{
    ASSERT_TRUE (probe->showWindow());
    constexpr int keycodeCapsLock = 66;
    auto& x11 = static_cast<X11InputPlatform&> (*platform);
    auto typeA = [&] { x11.syncControl(); probe->key (keycodeA, true); probe->key (keycodeA, false); };

    probe->key (keycodeCapsLock, true);
    probe->key (keycodeCapsLock, false);
    ASSERT_TRUE (xvfb.runClient ({ "setxkbmap", "-option", "caps:escape" }));
    typeA();
    ASSERT_EQ (X11Probe::describe (probe->take (4)), "K66/0 k66/2 K38/2 k38/2");
    ASSERT_EQ (probe->keysymOf (keycodeCapsLock), 0xff1bu) << "Escape";

    const auto alpha = plain | EventFlags::alphaShift;
    const auto capsKey = { InputEvent::key (MacKeyCodes::capsLock, true), InputEvent::key (MacKeyCodes::capsLock, false) };

    for (auto e : { InputEvent::key (0, true), InputEvent::key (0, false), InputEvent::key (0, true, alpha),
                    InputEvent::key (0, false, alpha), InputEvent::mouseButton (0, true, {}), InputEvent::mouseButton (0, false, {}) })
        EXPECT_TRUE (post (e)) << e.describe();

    for (int turn = 0; turn < 2; ++turn)
    {
        for (auto e : capsKey)
            EXPECT_TRUE (post (e));

        typeA();
    }

    platform->releaseHeldInput();
    typeA();
    EXPECT_EQ (X11Probe::describe (probe->take (12)), "K38/0 k38/0 K38/2 k38/2 B1/0 b1/256 K38/2 k38/2 K38/0 k38/0 K38/2 k38/2");
}

// Another program warps the pointer from the right edge to the centre while
// the tap is busy, and two steps follow, read together: the tap says where
// the pointer went and reports the steps from there, not as pushes on at the
// edge. It also says where the pointer is when it starts.
TEST_F (X11Input, AWarpByAnotherProgramIsNoticedAndTheStepsAfterItStartThere)
{
    probe->moveTo ({ 700, 300 });
    probe->sync();
    std::atomic<bool> slow { false };
    TapRecorder tap (*platform);
    tap.onEvent = [&] (EventTap&, const InputEvent&) { if (slow.exchange (false)) juce::Thread::sleep (500); };
    ASSERT_TRUE (tap.start());
    ASSERT_TRUE (waitUntil ([&] { return tap.notices().size() == 1; }));
    EXPECT_EQ (tap.notices()[0].location, juce::Point<double> (700, 300));

    probe->moveTo ({ 1900, 500 });
    ASSERT_TRUE (tap.waitForCount (1));
    tap.clear();
    slow = true;
    probe->moveTo ({ 1919, 500 });
    ASSERT_TRUE (tap.waitForCount (1));
    probe->warpTo ({ 960, 540 });
    probe->moveBy ({ 3, 0 });
    probe->moveBy ({ 3, 0 });
    ASSERT_TRUE (tap.waitForCount (3));

    using P = juce::Point<double>;
    auto events = tap.events();
    ASSERT_EQ (events.size(), 3u);
    EXPECT_EQ (std::pair (events[1].location, events[1].delta), std::pair (P (963, 540), P (3, 0)));
    EXPECT_EQ (std::pair (events[2].location, events[2].delta), std::pair (P (966, 540), P (3, 0)));
    EXPECT_THAT (tap.notices(), ElementsAre (EventTap::pointerNotice ({ 960, 540 })));
}

// The screen shrinks while the tap runs: moves stop at its new edge.
TEST_F (X11Input, TheTapFollowsTheScreensSize)
{
    std::atomic<bool> slow { false };
    TapRecorder tap (*platform);
    tap.onEvent = [&] (EventTap&, const InputEvent&) { if (slow.exchange (false)) juce::Thread::sleep (500); };
    ASSERT_TRUE (tap.start());
    ASSERT_TRUE (xvfb.runClient ({ "xrandr", "--newmode", "small", "74.5", "1280", "1344", "1472", "1664", "720", "723", "728", "748" }));
    ASSERT_TRUE (xvfb.runClient ({ "xrandr", "--addmode", "screen", "small" }));
    ASSERT_TRUE (xvfb.runClient ({ "xrandr", "--output", "screen", "--mode", "small" }));

    probe->moveTo ({ 1000, 300 });
    ASSERT_TRUE (tap.waitForCount (1));
    slow = true;
    probe->moveBy ({ 1, 0 });
    ASSERT_TRUE (tap.waitForCount (2));
    probe->moveBy ({ 300, 0 });
    probe->moveBy ({ 300, 0 });
    ASSERT_TRUE (tap.waitForCount (4));

    for (auto& e : tap.events())
        EXPECT_LT (e.location.x, 1280) << e.describe();
}
