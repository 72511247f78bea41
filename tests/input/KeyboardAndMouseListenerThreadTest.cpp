// The event tap's callback and the key digestion; what is queued is read from
// the datagrams a real SocketThread sends.

#include "support/ListenerRig.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Texts = std::vector<juce::String>;

namespace
{
constexpr juce::uint64 shiftFlags = EventFlags::shift | EventFlags::nonCoalesced;
constexpr juce::uint16 escape = 53;
constexpr int peer = 2;

InputEvent keyDown (juce::uint16 code, juce::uint64 flags = EventFlags::nonCoalesced) { return InputEvent::key (code, true, flags); }

/** Input goes to one peer of that OS; another machine's input was in use. */
struct Sending : ListenerRig
{
    explicit Sending (juce::String const& os, std::shared_ptr<const KeyboardLayout> layout = std::make_shared<MemoryKeyboardLayout>())
        : ListenerRig (std::move (layout))
    {
        host.setOwnArea (juce::Rectangle<int> (0, 0, 1920, 1080));
        addMachine (peer, { 1920, 0, 1920, 1080 }, os);
        sendTo (peer);
        host.setCurrentInputID (peer);
    }

    Texts sent() { return takeSent (peer); }
};
} // namespace

TEST (KeyboardAndMouseListenerThread, ShiftThenAGoesAsFlagsToAMacAndAsNamedKeysToOthers)
{
    REQUIRE_PRIVATE_NETWORK();

    // Shift held over a, then b with Shift released, then a with Caps Lock on
    // (its flag goes with keys by code). Without layout data Shift still
    // counts as a modifier (not as key 0).
    const Texts byCode { "CGKey down: 0 flags: 131328", "CGKey up: 0 flags: 131328", "CGKey down: 11 flags: 256",
                         "CGKey down: 0 flags: 65792" };
    const std::tuple<const char*, bool, Texts> cases[] = {
        { "MAC", true,  byCode },
        { "MAC", false, byCode },
        { "WIN", true,  { "Key down: Shift", "Key down: a", "Key up: a", "Key up: Shift", "Key down: b", "Key down: a" } },
    };

    for (auto& [os, withLayout, expected] : cases)
    {
        ::testing::internal::CaptureStderr();
        Sending s (os, withLayout ? std::make_shared<MemoryKeyboardLayout>() : nullptr);
        ::testing::internal::GetCapturedStderr();

        for (auto& event : { keyDown (0, shiftFlags), InputEvent::key (0, false, shiftFlags), keyDown (11),
                             keyDown (0, EventFlags::alphaShift | EventFlags::nonCoalesced) })
            s.handle (event);

        EXPECT_THAT (s.sent(), ElementsAreArray (expected)) << os << withLayout;
        EXPECT_THAT (s.host.getCalls(), ElementsAre ("sendToServer Current input ID: 1")) << os;
    }
}

TEST (KeyboardAndMouseListenerThread, DeadKeysComposeWithTheNextKeyOrGiveBothCharacters)
{
    REQUIRE_PRIVATE_NETWORK();
    constexpr juce::uint16 dead = 39, e = 14, q = 12, one = 18, space = 49;
    auto layout = std::make_shared<MemoryKeyboardLayout>();
    layout->setDeadKey (dead, 0xb4);

    const juce::String acute = "UnicodeChar: " + juce::String::charToString (0xb4), thenE = "Key down: e";
    const std::tuple<const char*, juce::uint16, Texts> cases[] = {
        { "WIN", e,     { "UnicodeChar: " + juce::String::charToString (0xe9), thenE } },
        { "WIN", space, { acute, thenE } },
        { "WIN", q,     { acute, "Key down: q", thenE } },   // both, not only the accent
        { "WIN", one,   { acute, "Key down: 1", thenE } },
        { "MAC", e,     { "CGKey down: 39 flags: 256", "CGKey down: 14 flags: 256", "CGKey down: 14 flags: 256" } },
    };

    for (auto& [os, next, expected] : cases)
    {
        Sending s (os, layout);

        for (auto code : { dead, next, e })
            s.handle (keyDown (code));

        EXPECT_THAT (s.sent(), ElementsAreArray (expected)) << os << " " << next;
    }
}

TEST (KeyboardAndMouseListenerThread, ThreeEscapesInARowEndTheProgramAlsoWhenNothingIsSent)
{
    ListenerRig rig;

    for (juce::uint16 code : { escape, escape, (juce::uint16) 0, escape, escape })
        rig.handle (keyDown (code));

    EXPECT_EQ (rig.listener.getEscapeCount(), 2);
    EXPECT_FALSE (rig.host.messageLoopStopped());
    rig.handle (keyDown (escape));
    EXPECT_TRUE (rig.host.messageLoopStopped());
}

TEST (KeyboardAndMouseListenerThread, ButtonsAndWheelAreQueued)
{
    REQUIRE_PRIVATE_NETWORK();
    Sending s ("WIN");
    const auto rightUp = InputEvent::mouseButton (1, false, {});

    // A right-button release claims nothing and does not look at the modifiers.
    s.handle (rightUp);
    EXPECT_TRUE (s.host.getCalls().empty());

    auto scroll = InputEvent::scroll (-40);
    scroll.flags = shiftFlags;

    for (auto& event : { InputEvent::mouseButton (0, true, {}, EventFlags::nonCoalesced, 0x100000002),
                         InputEvent::mouseButton (0, false, {}, EventFlags::nonCoalesced, 2),
                         InputEvent::mouseButton (1, true, {}), scroll, rightUp })
        s.handle (event);

    EXPECT_THAT (s.sent(), ElementsAre ("Right mouse up flags: 256", "Left mouse down flags: 256 numClicks: 2",
                                        "Left mouse up flags: 256 numClicks: 2", "Right mouse down flags: 256",
                                        "Key down: Shift", "Mouse wheel: -40 flags: 256", "Right mouse up flags: 256"));
}

TEST (KeyboardAndMouseListenerThread, WhatPassesToTheLocalDesktop)
{
    REQUIRE_PRIVATE_NETWORK();
    Sending s ("MAC");

    // Marked events pass untouched: no claim, nothing queued.
    auto marked = keyDown (0);
    marked.sourceUserData = kSyntheticEventMarker;
    EXPECT_EQ (s.handle (marked), EventTap::Verdict::pass);
    EXPECT_TRUE (s.host.getCalls().empty());
    EXPECT_TRUE (s.sent().empty());

    // Keys are withheld while sending; they pass while the input stays local,
    // or with one machine.
    EXPECT_EQ (s.handle (keyDown (0)), EventTap::Verdict::swallow);
    s.host.setActiveMonitorID (1);
    EXPECT_EQ (s.handle (keyDown (0)), EventTap::Verdict::pass);

    // Moves always pass; a jump of 317 pixels or more is not digested (the
    // view's cursor stays), a drag is; the next move starts where each went.
    double x = 100;

    for (auto [dx, drag, digested] : { std::tuple (316.0, false, true), std::tuple (-317.0, false, false),
                                       std::tuple (5000.0, true, true) })
    {
        s.host.setLocalCursor ({ 960, 540 });
        auto move = InputEvent::mouseMove ({ ++x, 100 }, drag);
        move.delta = { dx, 0.0 };
        EXPECT_EQ (s.handle (move), EventTap::Verdict::pass);
        EXPECT_EQ (s.host.getShownVirtualCursor() == juce::Point<double> (x, 100), digested) << dx;
        EXPECT_EQ (s.host.getLocalCursor(), juce::Point<double> (x, 100)) << dx;
    }

    s.host.setActiveMonitorID (peer);
    s.host.setNumMachines (1);
    EXPECT_EQ (s.handle (keyDown (0)), EventTap::Verdict::pass);
}

TEST (KeyboardAndMouseListenerThread, MovesStartWhereThePointerWasAlsoWhenNothingWasDigested)
{
    REQUIRE_PRIVATE_NETWORK();

    // The own desktop has a machine beyond its left edge. Each case puts the
    // pointer somewhere without a digested move (the tap's notice of where it
    // starts or where another program warped it, a jump too large to digest,
    // a move of the program's own), then a move as the tap reports it: one
    // reaching the left edge from inside leaves, a push on from the edge stays.
    auto move = [] (double x, double dx, juce::int64 marker = 0)
    {
        auto e = InputEvent::mouseMove ({ x, 500 });
        e.delta = { dx, 0 };
        e.sourceUserData = marker;
        return e;
    };

    const std::tuple<const char*, InputEvent, bool> cases[] = {
        { "the tap starts inside",           EventTap::pointerNotice ({ 3, 500 }), true },
        { "a warp onto the edge",            EventTap::pointerNotice ({ 0, 500 }), false },
        { "a jump onto the edge",            move (0, -400),                       false },
        { "the program's own move there",    move (0, -5, kSyntheticEventMarker),  false },
    };

    for (auto& [what, before, leaves] : cases)
    {
        ListenerRig rig;
        rig.host.setOwnArea (juce::Rectangle<int> (1920, 0, 1920, 1080));
        rig.host.setOwnDesktop ({ 0, 0, 1920, 1080 });
        rig.host.setWarpPoint ({ 960, 540 });
        rig.host.addTile (1, { 1920, 0, 1920, 1080 });
        rig.addMachine (peer, { 0, 0, 1920, 1080 });
        rig.host.setLocalCursor ({ 700, 500 });

        EXPECT_EQ (rig.handle (before), EventTap::Verdict::pass) << what;
        EXPECT_EQ (rig.handle (move (0, -3)), EventTap::Verdict::pass) << what;
        EXPECT_EQ (! rig.platform.getWarps().empty(), leaves) << what;
    }

    // A notice claims nothing.
    ListenerRig rig;
    rig.host.setCurrentInputID (peer);
    rig.handle (EventTap::pointerNotice ({ 5, 5 }));
    EXPECT_TRUE (rig.host.getCalls().empty());
}

TEST (KeyboardAndMouseListenerThread, RunsTheTapUntilStoppedAndQueuesNothingForTheStop)
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture log;
    Sending s ("MAC");

    for (size_t run = 1; run <= 2; ++run)
    {
        s.listener.startThread();
        s.platform.injectEvent (keyDown (0));
        ASSERT_TRUE (TestEnvironment::waitUntil ([&] { return s.platform.getSeenEvents().size() == run; }));
        EXPECT_TRUE (s.listener.stopListening (5000));
    }

    EXPECT_THAT (s.sent(), ElementsAre ("CGKey down: 0 flags: 256", "CGKey down: 0 flags: 256"));
    EXPECT_EQ (log.count ("Start listener thread"), 2);
    EXPECT_EQ (log.count ("Exit listener thread"), 2);

    // Without access to the input the thread says so and ends.
    s.platform.setEventTapsAvailable (false);
    ::testing::internal::CaptureStderr();
    s.listener.startThread();
    EXPECT_TRUE (s.listener.waitForThreadToExit (5000));
    EXPECT_EQ (::testing::internal::GetCapturedStderr(), "Failed to create event tap!\n");
}
