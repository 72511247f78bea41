// The X11 backend under an Xvfb of each test's own: what it posts as seen by
// another client, what its tap reports, withholding, warping, typing
// characters that have no key, and the tap's lifecycle.

#include "platform/X11Backend.h"
#include "platform/X11Probe.h"
#include "platform/TapRecorder.h"
#include "support/ScopedXvfb.h"

#include <gmock/gmock.h>

#include <dirent.h>

namespace
{
// Keycodes of Xvfb's default (evdev) keymap.
constexpr int keycodeA = 38, keycodeS = 39, keycodeShiftL = 50, keycodeReturn = 36;

using Event = X11Probe::Event;

std::vector<Event> only (const std::vector<Event>& events, int detail)
{
    std::vector<Event> result;

    for (auto& e : events)
        if (e.detail == detail)
            result.push_back (e);

    return result;
}

bool waitUntil (std::function<bool()> condition, int timeoutMs = 5000)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            return false;

        juce::Thread::sleep (5);
    }

    return true;
}

const InputEvent* findEvent (const std::vector<InputEvent>& events, std::function<bool (const InputEvent&)> match)
{
    for (auto& e : events)
        if (match (e))
            return &e;

    return nullptr;
}

int countEntries (const char* folder)
{
    int count = 0;

    if (auto* dir = opendir (folder))
    {
        while (auto* entry = readdir (dir))
            if (entry->d_name[0] != '.')
                ++count;

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

    void TearDown() override
    {
        probe.reset();
        platform.reset();
    }

    bool post (const InputEvent& event) { return platform->postEvent (event); }

    ScopedXvfb xvfb;
    std::unique_ptr<InputPlatform> platform;
    std::unique_ptr<X11Probe> probe;
};
} // namespace

TEST (X11InputBackend, RefusesADisplayItCannotOpen)
{
    EXPECT_EQ (createX11InputPlatform (":4321"), nullptr);
    EXPECT_EQ (loadX11KeyboardLayout (":4321"), nullptr);
}

TEST_F (X11Input, PostedKeysReachTheFocusedWindowWithTheirModifiers)
{
    ASSERT_TRUE (probe->showWindow());

    EXPECT_TRUE (post (InputEvent::key (0, true)));
    EXPECT_TRUE (post (InputEvent::key (0, false)));
    auto events = probe->waitForEvents (2, 5000);
    EXPECT_THAT (events, ::testing::ElementsAre (Event { Event::keyPress, keycodeA, 0 },
                                                 Event { Event::keyRelease, keycodeA, 0 }));

    // Shift held around the key down and released again afterwards; a key
    // up gets no modifier of its own (a modifier tapped alone means something).
    const auto shift = EventFlags::nonCoalesced | EventFlags::shift;
    EXPECT_TRUE (post (InputEvent::key (1, true, shift)));
    EXPECT_TRUE (post (InputEvent::key (1, false, shift)));
    EXPECT_TRUE (post (InputEvent::key (0, true)));
    events = probe->collectEvents();
    EXPECT_EQ (only (events, keycodeShiftL).size(), 2u);
    auto keysS = only (events, keycodeS);
    ASSERT_EQ (keysS.size(), 2u);
    EXPECT_EQ (keysS[0].state & X11Probe::shiftMask, X11Probe::shiftMask);
    EXPECT_EQ (keysS[1].state & X11Probe::shiftMask, 0);
    auto keysA = only (events, keycodeA);
    ASSERT_EQ (keysA.size(), 1u);
    EXPECT_EQ (keysA[0].state & X11Probe::shiftMask, 0);
    EXPECT_TRUE (post (InputEvent::key (0, false)));

    // A modifier key posted by its own code is pressed as a key.
    EXPECT_TRUE (post (InputEvent::key (MacKeyCodes::shift, true, shift)));
    EXPECT_TRUE (post (InputEvent::key (MacKeyCodes::shift, false)));
    EXPECT_EQ (only (probe->collectEvents(), keycodeShiftL).size(), 2u);

    // Codes without a key are refused; so are types that cannot be posted.
    EXPECT_FALSE (post (InputEvent::key (52, true)));
    EXPECT_FALSE (post (InputEvent::key (200, true)));
    InputEvent flagsChanged;
    flagsChanged.type = InputEventType::flagsChanged;
    EXPECT_FALSE (post (flagsChanged));
}

TEST_F (X11Input, PostedPointerButtonsAndWheelReachOtherClients)
{
    ASSERT_TRUE (probe->showWindow());

    EXPECT_TRUE (post (InputEvent::mouseMove ({ 300.4, 400.6 })));
    EXPECT_TRUE (waitUntil ([&] { return probe->getPointer() == juce::Point<int> (300, 401); }));

    EXPECT_TRUE (post (InputEvent::mouseButton (0, true, {})));
    EXPECT_TRUE (post (InputEvent::mouseMove ({ 320, 410 }, true)));
    EXPECT_TRUE (post (InputEvent::mouseButton (0, false, {})));
    EXPECT_TRUE (post (InputEvent::mouseButton (1, true, {})));
    EXPECT_TRUE (post (InputEvent::mouseButton (1, false, {})));
    auto events = probe->waitForEvents (4, 5000);
    EXPECT_THAT (events, ::testing::ElementsAre (Event { Event::buttonPress, 1, 0 },
                                                 Event { Event::buttonRelease, 1, 0x100 },
                                                 Event { Event::buttonPress, 3, 0 },
                                                 Event { Event::buttonRelease, 3, 0x400 }));
    EXPECT_EQ (probe->getPointer(), juce::Point<int> (320, 410));

    // A click with Control held: pressed around the down alone.
    const auto control = EventFlags::nonCoalesced | EventFlags::control;
    EXPECT_TRUE (post (InputEvent::mouseButton (0, true, {}, control)));
    EXPECT_TRUE (post (InputEvent::mouseButton (0, false, {}, control)));
    auto all = probe->collectEvents();
    EXPECT_EQ (only (all, 37).size(), 2u);   // Control_L down and up, once
    events = only (all, 1);
    ASSERT_EQ (events.size(), 2u);
    EXPECT_EQ (events[0].state & 4, 4);

    // Ten pixels make one wheel click; what is left over counts towards the next.
    EXPECT_TRUE (post (InputEvent::scroll (30)));
    events = probe->collectEvents();
    EXPECT_EQ (only (events, 4).size(), 6u);
    EXPECT_TRUE (post (InputEvent::scroll (-25)));
    EXPECT_EQ (only (probe->collectEvents(), 5).size(), 4u);
    EXPECT_TRUE (post (InputEvent::scroll (-5)));
    EXPECT_EQ (only (probe->collectEvents(), 5).size(), 2u);
    EXPECT_TRUE (post (InputEvent::scroll (-4)));
    EXPECT_TRUE (post (InputEvent::scroll (7)));   // a turn drops the rest of the other way
    EXPECT_TRUE (probe->collectEvents().empty());
}

TEST_F (X11Input, DestroyingThePlatformReleasesWhatItLeftPressed)
{
    ASSERT_TRUE (probe->showWindow());
    EXPECT_TRUE (post (InputEvent::key (0, true)));
    EXPECT_TRUE (post (InputEvent::mouseButton (1, true, {})));
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u00e9', true)));
    EXPECT_EQ (probe->waitForEvents (3, 5000).size(), 3u);

    platform.reset();
    auto events = probe->waitForEvents (3, 5000);
    ASSERT_EQ (events.size(), 3u);
    for (auto& e : events)
        EXPECT_TRUE (e.type == Event::keyRelease || e.type == Event::buttonRelease);
}

TEST_F (X11Input, WarpMovesThePointerWithoutAnEventAndDeltasStartFromIt)
{
    TapRecorder tap (*platform);
    ASSERT_TRUE (tap.start());

    probe->moveTo ({ 100, 100 });
    ASSERT_TRUE (tap.waitForType (InputEventType::mouseMoved));

    EXPECT_TRUE (platform->warpPointer ({ 960, 540 }));
    EXPECT_EQ (probe->getPointer(), juce::Point<int> (960, 540));
    EXPECT_EQ (platform->getPointerLocation(), juce::Point<double> (960, 540));
    platform->showCursor();

    tap.clear();
    probe->moveTo ({ 970, 535 });
    ASSERT_TRUE (tap.waitForType (InputEventType::mouseMoved));
    auto events = tap.events();
    ASSERT_EQ (events.size(), 1u);   // the warp itself made no event
    EXPECT_EQ (events[0].location, juce::Point<double> (970, 535));
    EXPECT_EQ (events[0].delta, juce::Point<double> (10, -5));
    EXPECT_FALSE (events[0].isMarked());
}

TEST_F (X11Input, TapReportsOtherClientsUnmarkedAndOwnPostsMarked)
{
    TapRecorder tap (*platform);
    ASSERT_TRUE (tap.start());

    probe->key (keycodeA, true);
    probe->key (keycodeA, false);
    ASSERT_TRUE (tap.waitForType (InputEventType::keyUp, 0));
    auto events = tap.events();
    ASSERT_EQ (events.size(), 2u);
    EXPECT_EQ (events[0].type, InputEventType::keyDown);
    EXPECT_EQ (events[0].keyCode, 0);
    EXPECT_EQ (events[0].flags, EventFlags::nonCoalesced);
    EXPECT_FALSE (events[0].isMarked());
    EXPECT_FALSE (events[1].isMarked());

    tap.clear();
    EXPECT_TRUE (post (InputEvent::key (1, true)));
    EXPECT_TRUE (post (InputEvent::key (1, false)));
    ASSERT_TRUE (tap.waitForType (InputEventType::keyUp, 1));
    events = tap.events();
    ASSERT_EQ (events.size(), 2u);
    EXPECT_TRUE (events[0].isMarked());
    EXPECT_EQ (events[0].sourceUserData, kSyntheticEventMarker);
    EXPECT_TRUE (events[1].isMarked());

    // Moves: the other client's unmarked, ours marked, deltas between them.
    tap.clear();
    probe->moveTo ({ 100, 100 });
    ASSERT_TRUE (tap.waitForType (InputEventType::mouseMoved));
    EXPECT_TRUE (post (InputEvent::mouseMove ({ 200, 150 })));
    ASSERT_TRUE (tap.waitFor ([] (auto& seen) { return seen.size() >= 2; }));
    events = tap.events();
    EXPECT_FALSE (events[0].isMarked());
    EXPECT_EQ (events[0].location, juce::Point<double> (100, 100));
    EXPECT_TRUE (events[1].isMarked());
    EXPECT_EQ (events[1].location, juce::Point<double> (200, 150));
    EXPECT_EQ (events[1].delta, juce::Point<double> (100, 50));

    // A posted click and scroll come back marked, with our modifier around them.
    tap.clear();
    EXPECT_TRUE (post (InputEvent::mouseButton (1, true, {}, EventFlags::nonCoalesced | EventFlags::command)));
    EXPECT_TRUE (post (InputEvent::mouseButton (1, false, {})));
    EXPECT_TRUE (post (InputEvent::scroll (-10)));
    ASSERT_TRUE (tap.waitForType (InputEventType::scrollWheel));
    events = tap.events();
    auto* down = findEvent (events, [] (auto& e) { return e.type == InputEventType::rightMouseDown; });
    ASSERT_NE (down, nullptr);
    EXPECT_TRUE (down->isMarked());
    EXPECT_EQ (down->flags, EventFlags::nonCoalesced | EventFlags::command);
    EXPECT_EQ (down->location, juce::Point<double> (200, 150));
    auto* scroll = findEvent (events, [] (auto& e) { return e.type == InputEventType::scrollWheel; });
    EXPECT_TRUE (scroll->isMarked());
    EXPECT_EQ (scroll->scrollDeltaAxis1, -10);
    for (auto& e : events)
        EXPECT_TRUE (e.isMarked()) << e.describe();
}

TEST_F (X11Input, TapFollowsModifiersButtonsClicksAndWheel)
{
    TapRecorder tap (*platform);
    ASSERT_TRUE (tap.start());

    probe->key (keycodeShiftL, true);
    probe->key (keycodeA, true);
    probe->key (keycodeA, false);
    probe->key (keycodeShiftL, false);
    ASSERT_TRUE (tap.waitFor ([] (auto& seen) { return seen.size() >= 4; }));
    auto events = tap.events();
    const auto shifted = EventFlags::nonCoalesced | EventFlags::shift;
    EXPECT_EQ (events[0].type, InputEventType::flagsChanged);
    EXPECT_EQ (events[0].keyCode, MacKeyCodes::shift);
    EXPECT_EQ (events[0].flags, shifted);
    EXPECT_EQ (events[1].type, InputEventType::keyDown);
    EXPECT_EQ (events[1].flags, shifted);
    EXPECT_EQ (events[3].type, InputEventType::flagsChanged);
    EXPECT_EQ (events[3].flags, EventFlags::nonCoalesced);

    // Two quick clicks, then a drag. The tap reads the pointer when it sees
    // an event, so the moves wait until it has seen the one before.
    tap.clear();
    probe->moveTo ({ 500, 500 });
    ASSERT_TRUE (tap.waitForType (InputEventType::mouseMoved));
    for (int i = 0; i < 2; ++i)
    {
        probe->button (1, true);
        probe->button (1, false);
    }
    probe->button (1, true);
    ASSERT_TRUE (tap.waitFor ([] (auto& seen) { return seen.size() >= 6; }));
    probe->moveTo ({ 520, 510 });
    probe->button (1, false);
    probe->button (4, true);
    probe->button (4, false);
    probe->button (7, true);
    probe->button (7, false);
    ASSERT_TRUE (tap.waitFor ([] (auto& seen) { return seen.size() >= 10; }));
    events = tap.events();
    std::vector<juce::int64> clicks;
    for (auto& e : events)
        if (e.type == InputEventType::leftMouseDown || e.type == InputEventType::leftMouseUp)
            clicks.push_back (e.clickState);
    EXPECT_THAT (clicks, ::testing::ElementsAre (1, 1, 2, 2, 3, 3));

    auto* drag = findEvent (events, [] (auto& e) { return e.type == InputEventType::leftMouseDragged; });
    ASSERT_NE (drag, nullptr);
    EXPECT_EQ (drag->location, juce::Point<double> (520, 510));
    EXPECT_EQ (drag->delta, juce::Point<double> (20, 10));

    auto* up = findEvent (events, [] (auto& e) { return e.type == InputEventType::scrollWheel; });
    ASSERT_NE (up, nullptr);
    EXPECT_EQ (up->scrollDeltaAxis1, 10);
    EXPECT_EQ (events.back().type, InputEventType::scrollWheel);
    EXPECT_EQ (events.back().scrollDeltaAxis1, 0);
    EXPECT_EQ (events.back().scrollDeltaAxis2, -10);
}

TEST_F (X11Input, WithholdingKeepsKeysAndClicksFromWindowsButNotFromTheTap)
{
    ASSERT_TRUE (probe->showWindow());

    // The callback swallows while withholding, as the application's would: a
    // passing verdict would switch withholding off.
    std::atomic<bool> swallow { true };
    TapRecorder tap (*platform, [&] (const InputEvent&)
    {
        return swallow ? EventTap::Verdict::swallow : EventTap::Verdict::pass;
    });
    ASSERT_TRUE (tap.start());

    ASSERT_TRUE (platform->setWithholding (true));
    EXPECT_TRUE (platform->isWithholding());

    probe->key (keycodeA, true);
    probe->key (keycodeA, false);
    probe->button (1, true);
    probe->button (1, false);
    probe->button (4, true);
    probe->button (4, false);
    probe->moveTo ({ 700, 500 });
    EXPECT_TRUE (probe->collectEvents().empty());
    EXPECT_EQ (probe->getPointer(), juce::Point<int> (700, 500));   // the pointer still moves

    ASSERT_TRUE (tap.waitForType (InputEventType::mouseMoved));
    EXPECT_TRUE (tap.waitForType (InputEventType::keyDown, 0));
    EXPECT_TRUE (tap.waitForType (InputEventType::leftMouseDown));
    EXPECT_TRUE (tap.waitForType (InputEventType::scrollWheel));

    EXPECT_TRUE (platform->warpPointer ({ 960, 540 }));
    EXPECT_EQ (probe->getPointer(), juce::Point<int> (960, 540));

    swallow = false;
    ASSERT_TRUE (platform->setWithholding (false));
    EXPECT_FALSE (platform->isWithholding());
    probe->key (keycodeA, true);
    probe->key (keycodeA, false);
    probe->button (1, true);
    probe->button (1, false);
    EXPECT_EQ (probe->waitForEvents (4, 5000).size(), 4u);
}

TEST_F (X11Input, SwallowingVerdictsSwitchWithholdingOnAndPassingOnesOff)
{
    ASSERT_TRUE (probe->showWindow());
    std::atomic<bool> swallow { true };
    TapRecorder tap (*platform, [&] (const InputEvent&)
    {
        return swallow ? EventTap::Verdict::swallow : EventTap::Verdict::pass;
    });
    ASSERT_TRUE (tap.start());

    // The first key cannot be recalled; the next ones are withheld.
    probe->key (keycodeA, true);
    ASSERT_TRUE (waitUntil ([&] { return platform->isWithholding(); }));
    probe->key (keycodeA, false);
    probe->key (keycodeS, true);
    probe->key (keycodeS, false);
    EXPECT_THAT (probe->collectEvents(), ::testing::ElementsAre (Event { Event::keyPress, keycodeA, 0 }));

    // Moves never switch it, marked events neither.
    swallow = false;
    probe->moveTo ({ 10, 10 });
    EXPECT_TRUE (post (InputEvent::key (0, true)));
    EXPECT_TRUE (post (InputEvent::key (0, false)));
    ASSERT_TRUE (tap.waitFor ([] (auto& seen) { return seen.size() >= 7; }));
    EXPECT_TRUE (platform->isWithholding());

    // A passed key releases it.
    probe->key (keycodeS, true);
    ASSERT_TRUE (waitUntil ([&] { return ! platform->isWithholding(); }));
    probe->key (keycodeS, false);
    EXPECT_THAT (probe->collectEvents(), ::testing::ElementsAre (Event { Event::keyRelease, keycodeS, 0 }));
}

TEST_F (X11Input, WithholdingFailsWhileAnotherProgramHoldsTheKeyboard)
{
    ASSERT_TRUE (probe->grabKeyboard());
    EXPECT_FALSE (platform->setWithholding (true));
    EXPECT_FALSE (platform->isWithholding());
}

TEST_F (X11Input, CharactersWithoutAKeyAreTypedThroughASpareKeycode)
{
    ASSERT_TRUE (probe->showWindow());

    // é has no key in a US layout.
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u00e9', true)));
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u00e9', false)));
    auto events = probe->waitForEvents (2, 5000);
    ASSERT_EQ (events.size(), 2u);
    const int spare = events[0].detail;
    EXPECT_EQ (events[1].detail, spare);
    EXPECT_EQ (probe->keysymOf (spare), 0xe9u);

    // The euro sign, beyond Latin-1, through another spare or the same one.
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u20ac', true)));
    events = probe->waitForEvents (1, 5000);
    ASSERT_EQ (events.size(), 1u);
    EXPECT_EQ (probe->keysymOf (events[0].detail), 0x10020acu);
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\u20ac', false)));
    EXPECT_EQ (probe->collectEvents().size(), 1u);

    // Characters that a key types use that key, with Shift when it needs it.
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'A', true)));
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'A', false)));
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\r', true)));
    EXPECT_TRUE (post (InputEvent::unicodeKey (u'\r', false)));
    events = probe->collectEvents();
    auto keysA = only (events, keycodeA);
    ASSERT_EQ (keysA.size(), 2u);
    EXPECT_EQ (keysA[0].state & X11Probe::shiftMask, X11Probe::shiftMask);
    EXPECT_EQ (only (events, keycodeReturn).size(), 2u);

    // A lone surrogate cannot be typed; a release without a press is refused.
    EXPECT_FALSE (post (InputEvent::unicodeKey (0xd800, true)));
    EXPECT_FALSE (post (InputEvent::unicodeKey (u'z', false)));

    // The spare keycode is given back some time after its last use.
    juce::Thread::sleep ((int) 250);
    EXPECT_TRUE (post (InputEvent::mouseMove ({ 5, 5 })));
    EXPECT_EQ (probe->keysymOf (spare), 0u);
}

TEST_F (X11Input, DeclaringUserActivityResetsTheIdleTime)
{
    juce::Thread::sleep (1200);
    ASSERT_GE (probe->getIdleMs(), 1000);
    platform->declareUserActivity ("KVMWakeup");
    EXPECT_TRUE (waitUntil ([&] { return probe->getIdleMs() < 1000; }));
}

TEST_F (X11Input, TapStopsFromAnotherThreadFromItsCallbackAndRunsAgain)
{
    TapRecorder tap (*platform);
    ASSERT_TRUE (tap.start());
    EXPECT_TRUE (tap.stop());
    EXPECT_TRUE (tap.result);

    // Handed over events reach the callback, which stops the tap.
    tap.onEvent = [] (EventTap& t, const InputEvent& e) { if (e.isMarked()) t.stop(); };
    ASSERT_TRUE (tap.start());
    auto wakeUp = InputEvent::mouseButton (0, true, platform->getPointerLocation(), EventFlags::nonCoalesced);
    wakeUp.sourceUserData = kSyntheticEventMarker;
    EXPECT_EQ (platform->postToEventTaps (wakeUp), 1);
    EXPECT_TRUE (waitUntil ([&] { return ! tap.tap->isRunning(); }));
    EXPECT_TRUE (tap.stop());
    ASSERT_EQ (tap.events().size(), 1u);
    EXPECT_EQ (tap.events()[0], wakeUp);
    EXPECT_EQ (platform->postToEventTaps (wakeUp), 0);

    // A stop asked for before the tap runs makes the next run return at once.
    tap.onEvent = nullptr;
    tap.tap->stop();
    EXPECT_TRUE (tap.tap->run());
    ASSERT_TRUE (tap.start());
    probe->key (keycodeA, true);
    probe->key (keycodeA, false);
    EXPECT_TRUE (tap.waitForType (InputEventType::keyUp, 0));

    // Disabled, it calls nobody.
    tap.tap->setEnabled (false);
    tap.clear();
    probe->key (keycodeS, true);
    probe->key (keycodeS, false);
    probe->sync();
    juce::Thread::sleep (100);
    EXPECT_TRUE (tap.events().empty());
}

TEST_F (X11Input, HundredStartsAndStopsLeakNoDescriptorThreadOrConnection)
{
    auto cycle = [&]
    {
        TapRecorder tap (*platform);
        ASSERT_TRUE (tap.start());
        ASSERT_TRUE (tap.stop());
    };

    cycle();   // anything created once and kept stays out of the count
    const int files = countEntries ("/proc/self/fd");
    const int threads = countEntries ("/proc/self/task");
    const int clients = probe->countClients();
    ASSERT_GT (clients, 0);

    for (int i = 0; i < 100; ++i)
        cycle();

    EXPECT_EQ (countEntries ("/proc/self/fd"), files);
    EXPECT_EQ (countEntries ("/proc/self/task"), threads);
    EXPECT_TRUE (waitUntil ([&] { return probe->countClients() == clients; }));
}
