// Replaying received texts on the in-memory platform: what each text posts,
// the modifiers that arrive by name, the double-click timing and the mapping
// from the virtual desktop to this machine's.

#include "input/EventReplay.h"
#include "platform/memory/MemoryInputPlatform.h"
#include "platform/memory/MemoryKeyboardLayout.h"
#include "support/FakeInputHost.h"

#include <gmock/gmock.h>

#include <cstdlib>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace
{
constexpr juce::uint64 shifted = 0x20100;

struct Replay
{
    Replay()
    {
        host.setOwnArea (juce::Rectangle<int> (1920, 0, 1920, 1080));
    }

    /** Replays a text at a time of the millisecond counter; returns what it posted. */
    std::vector<InputEvent> at (juce::uint32 ms, juce::String const& text, juce::String const& os = "MAC")
    {
        now = ms;
        platform.clearRecords();
        shown = replay.replay (text, os);
        return platform.getPostedEvents();
    }

    std::vector<InputEvent> operator() (juce::String const& text, juce::String const& os = "MAC") { return at (now, text, os); }

    FakeInputHost host;
    MemoryInputPlatform platform;
    MacKeyCodeWizard keyNames { std::make_shared<MemoryKeyboardLayout>() };
    juce::uint32 now = 100000;
    EventReplay replay { host, platform, keyNames, [this] { return now; } };
    juce::String shown;
};

InputEvent leftButton (bool down, juce::uint64 flags, int clicks) { return InputEvent::mouseButton (0, down, {}, flags, clicks); }
} // namespace

TEST (EventReplay, PointerTextsMapTheVirtualPointToThisDesktop)
{
    Replay replay;

    EXPECT_THAT (replay ("Move mouse to: 2020_200 flags: 256"), ElementsAre (InputEvent::mouseMove ({ 100, 200 })));
    EXPECT_EQ (replay.host.getShownVirtualCursor(), juce::Point<double> (2020, 200));
    EXPECT_THAT (replay ("Move mouse to: 2020_200 flags: 256"), IsEmpty()) << "the sender's repeat moved the pointer";

    // A point off this desktop, however far, ends on its edge.
    EXPECT_THAT (replay ("Move mouse to: 99999_-99999 flags: 256"), ElementsAre (InputEvent::mouseMove ({ 1919, 0 })));
    EXPECT_THAT (replay ("Move mouse to: -5e300_5e300 flags: 256"), ElementsAre (InputEvent::mouseMove ({ 0, 1079 })));

    replay.host.setOwnDesktop ({ -1280, 0, 3200, 1080 });
    EXPECT_THAT (replay ("Drag mouse to: 1920.5_1e+01 flags: 131328"), ElementsAre (InputEvent::mouseMove ({ -1279.5, 10 }, true)));

    EXPECT_THAT (replay ("Mouse wheel: -3 flags: 256"), ElementsAre (InputEvent::scroll (-3)));
    EXPECT_THAT (replay ("Drag mouse to: 1920.5_1e+01 flags: 131328"), ElementsAre (InputEvent::mouseMove ({ -1279.5, 10 }, true)));
    EXPECT_THAT (replay ("Move mouse to: inf_0 flags: 256"), IsEmpty());
    EXPECT_THAT (replay ("Move mouse to: 7e99999999999_0"), IsEmpty());   // infinite
    EXPECT_THAT (replay ("Move mouse to: 1920_7E-00099999999999"), ElementsAre (InputEvent::mouseMove ({ -1280, 0 })));

    // Without a record of this machine the cursor is shown and the move dropped.
    replay.host.setOwnArea (std::nullopt);
    EXPECT_THAT (replay ("Move mouse to: 7_8"), IsEmpty());
    EXPECT_EQ (replay.host.getShownVirtualCursor(), juce::Point<double> (7, 8));
}

TEST (EventReplay, WheelTextsAreHeldToAHundredClicksEachAndToABudgetThatRealScrollsStayWithin)
{
    Replay replay;
    auto const pixels = [&] (juce::uint32 ms, juce::String const& text)
    {
        int sum = 0;

        for (auto const& e : replay.at (ms, text))
            sum += std::abs (e.scrollDeltaAxis1);

        return sum;
    };

    EXPECT_THAT (replay ("Mouse wheel: 2147483647"), ElementsAre (InputEvent::scroll (InputPlatform::maxScrollPixelsPerPost)));
    EXPECT_THAT (replay ("Mouse wheel: -90000 flags: 256"), ElementsAre (InputEvent::scroll (-InputPlatform::maxScrollPixelsPerPost)));

    // A flood posts what the budget holds, across the counter's wrap too.
    int flood = 0;

    for (juce::uint32 i = 0; i < 2000; ++i)
        flood += pixels (0xfffffc00 + i, "Mouse wheel: 90000");

    EXPECT_LE (flood, EventReplay::wheelBudgetPixels + 2000 * EventReplay::wheelPixelsPerSecond / 1000);

    // A fast real scroll after a pause: 300 pixels sixty times a second, whole.
    for (juce::uint32 ms = 2000; ms < 3000; ms += 16)
        EXPECT_EQ (pixels (ms, "Mouse wheel: -300 flags: 256"), 300) << ms;
}

TEST (EventReplay, LeftClicksCloserThanHalfASecondAreDoubleClicks)
{
    struct Step { juce::uint32 ms; const char* text; InputEvent posted; };

    const Step steps[] = {
        { 100000, "Left mouse down flags: 256 numClicks: 1", leftButton (true, 256, 0) },
        { 100300, "Left mouse down flags: 256 numClicks: 1", leftButton (true, 256, 2) },     // 300 ms
        { 100900, "Left mouse down flags: 256 numClicks: 1", leftButton (true, 256, 0) },     // 600 ms
        { 101000, "Left mouse down flags: 256 numClicks: 2", leftButton (true, 256, 2) },     // counted by the sender...
        { 101450, "Left mouse down flags: 256 numClicks: 1", leftButton (true, 256, 0) },     // ...keeps the stamp of 100900
        { 101500, "Left mouse up flags: 256 numClicks: 1", leftButton (false, 256, 0) },
        { 101999, "Left mouse up flags: 256 numClicks: 1", leftButton (false, 256, 2) },
        { 0xffffff00, "Left mouse down flags: 256 numClicks: 1", leftButton (true, 256, 0) },
        { 0x00000010, "Left mouse down flags: 256 numClicks: 1", leftButton (true, 256, 2) }, // across the wrap
        { 20000, "Right mouse down flags: 131328", InputEvent::mouseButton (1, true, {}, shifted, 0) },
        { 20100, "Right mouse up flags: 256", InputEvent::mouseButton (1, false, {}, 256, 0) },
    };

    Replay replay;

    for (auto const& step : steps)
        EXPECT_THAT (replay.at (step.ms, step.text), ElementsAre (step.posted)) << step.ms << " " << step.text;

    EXPECT_EQ (replay.shown, "Right mouse up flags: 256");
}

TEST (EventReplay, KeysByNameCarryTheModifiersReceivedByName)
{
    Replay replay;

    EXPECT_THAT (replay ("Key down: Shift", "WIN"), IsEmpty());
    EXPECT_EQ (replay.host.getReceivedFlags(), (int) shifted);
    EXPECT_THAT (replay ("Key down: a", "WIN"), ElementsAre (InputEvent::key (0, true, shifted)));
    EXPECT_THAT (replay ("Key up: a", "WIN"), ElementsAre (InputEvent::key (0, false, shifted)));
    EXPECT_THAT (replay ("Key down: Command", "WIN"), ElementsAre (InputEvent::key (55, true, shifted)));
    EXPECT_THAT (replay ("Key down: NoSuchKey", "WIN"), ElementsAre (InputEvent::key (0, true, shifted)));

    // Without flags, a sender of another system's events carry the flags received by name.
    EXPECT_THAT (replay ("Left mouse up", "WIN"), ElementsAre (leftButton (false, shifted, 0)));

    for (auto const* name : { "Control", "Option", "WindowsLeft", "WindowsRight" })
        replay (juce::String ("Key down: ") + name, "WIN");

    EXPECT_EQ (replay.replay.getReceivedFlags(), shifted | 0x40000 | 0x80000 | 0x100000);
    replay ("Key up: Option", "WIN");
    replay ("Key up: Shift", "WIN");
    EXPECT_EQ (replay.host.getReceivedFlags(), 0x140100);

    // "noModKeys" anywhere resets them before the key is handled.
    EXPECT_THAT (replay ("Key up: bnoModKeys", "WIN"), ElementsAre (InputEvent::key (11, false, 0x100)));
    replay ("Key down: Shift", "WIN");
    replay.replay.releaseHeldInput();
    EXPECT_EQ (replay.replay.getReceivedFlags(), 0x100u);

    // Caps Lock by name presses no key (the key at its place may be another):
    // it turns the lock over, which the sender's later events carry, clicks
    // with flags of their own too, and which outlasts "noModKeys".
    EXPECT_THAT (replay ("Key down: CapsLock", "WIN"), IsEmpty());
    EXPECT_THAT (replay ("Key up: CapsLock", "WIN"), IsEmpty());
    EXPECT_THAT (replay ("Key up: anoModKeys", "WIN"), ElementsAre (InputEvent::key (0, false, 0x10100)));
    EXPECT_THAT (replay ("Left mouse down flags: 256 numClicks: 1", "WIN"), ElementsAre (leftButton (true, 0x10100, 0)));
    replay ("Key down: CapsLock", "WIN");
    EXPECT_THAT (replay ("Key down: a", "WIN"), ElementsAre (InputEvent::key (0, true, 0x100)));
}

TEST (EventReplay, KeyCodesCharactersClipboardAndTheRest)
{
    Replay replay;

    EXPECT_THAT (replay ("CGKey down: 12 flags: 131328"), ElementsAre (InputEvent::key (12, true, shifted)));
    EXPECT_THAT (replay ("CGKey up: 65548 flags: 256"), ElementsAre (InputEvent::key (12, false, 256)));   // 16 bits

    // Without flags from a Mac, the previous text's flags; a new run starts from none held.
    EXPECT_THAT (replay ("CGKey down: 1"), ElementsAre (InputEvent::key (1, true, 256)));
    replay.replay.startRun();
    EXPECT_THAT (replay ("CGKey up: 1"), ElementsAre (InputEvent::key (1, false, 0x100)));
    EXPECT_THAT (replay ("CGKey down: 0 flags: 65792"), ElementsAre (InputEvent::key (0, true, 0x10100)));   // Caps Lock on

    EXPECT_THAT (replay ("UnicodeChar: " + juce::String::charToString (0xe9)),
                 ElementsAre (InputEvent::unicodeKey (0xe9, true), InputEvent::unicodeKey (0xe9, false)));
    EXPECT_THAT (replay ("UnicodeChar: " + juce::String::charToString (0x1f600)),
                 ElementsAre (InputEvent::unicodeKey (0xf600, true), InputEvent::unicodeKey (0xf600, false)));
    EXPECT_THAT (replay ("UnicodeChar: "), IsEmpty());

    EXPECT_THAT (replay ("Clipboard: two words numClicks: 3 more"), IsEmpty());
    EXPECT_EQ (replay.host.getClipboardText(), "two words");
    EXPECT_EQ (replay.shown, "Clipboard: two words");

    for (auto const* text : { "Hello", "Left double click flags: 256", "move mouse to: 1_1", "" })
        EXPECT_THAT (replay (text), IsEmpty()) << text;
}
