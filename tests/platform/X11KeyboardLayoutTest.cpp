// Key translation and the key-name tables on an X server's real keymap, with
// a US layout and with a German one that has dead keys.

#include "input/MacKeyCodeWizard.h"
#include "platform/X11Backend.h"
#include "support/ScopedXvfb.h"

#include <gmock/gmock.h>

namespace
{
juce::String translate (const KeyboardLayout& layout, juce::uint16 code, juce::uint32& state)
{
    return layout.translate (code, state).toString();
}

juce::String ch (int c) { return juce::String::charToString ((juce::juce_wchar) c); }

std::shared_ptr<const KeyboardLayout> layoutOf (const ScopedXvfb& xvfb, const char* name)
{
    if (! xvfb.runClient ({ "setxkbmap", name }))
        return {};

    return loadX11KeyboardLayout (xvfb.getDisplayName());
}
} // namespace

TEST (X11KeyboardLayout, UsLayoutNamesEveryKeyByWhatItTypesAtItsPosition)
{
    ScopedXvfb xvfb;
    ASSERT_TRUE (xvfb.isRunning());
    auto layout = layoutOf (xvfb, "us");
    ASSERT_NE (layout, nullptr);
    MacKeyCodeWizard wizard (layout);

    // Letters, digits and punctuation by position; control characters for
    // the keys that type no character under X; keypad keys their digits, so
    // that they become the "_alt" twins of the main row; the fixed names.
    std::map<juce::uint16, juce::String> expected = {
        { 0, "a" }, { 1, "s" }, { 2, "d" }, { 3, "f" }, { 4, "h" }, { 5, "g" }, { 6, "z" }, { 7, "x" },
        { 8, "c" }, { 9, "v" }, { 10, "<" }, { 11, "b" }, { 12, "q" }, { 13, "w" }, { 14, "e" },
        { 15, "r" }, { 16, "y" }, { 17, "t" }, { 18, "1" }, { 19, "2" }, { 20, "3" }, { 21, "4" },
        { 22, "6" }, { 23, "5" }, { 24, "=" }, { 25, "9" }, { 26, "7" }, { 27, "-" }, { 28, "8" },
        { 29, "0" }, { 30, "]" }, { 31, "o" }, { 32, "u" }, { 33, "[" }, { 34, "i" }, { 35, "p" },
        { 36, "Return" }, { 37, "l" }, { 38, "j" }, { 39, "'" }, { 40, "k" }, { 41, ";" },
        { 42, "\\" }, { 43, "," }, { 44, "/" }, { 45, "n" }, { 46, "m" }, { 47, "." }, { 48, "Tab" },
        { 49, "Space" }, { 50, "`" }, { 51, "Backspace" }, { 53, ch (0x1b) }, { 55, "Command" },
        { 56, "Shift" }, { 57, "CapsLock" }, { 58, "Option" }, { 59, "Control" }, { 65, "._alt" },
        { 67, "*" }, { 69, "+" }, { 71, ch (0x1b) + "_alt" }, { 75, "/_alt" }, { 76, ch (3) },
        { 78, "-_alt" }, { 81, "=_alt" }, { 82, "0_alt" }, { 83, "1_alt" }, { 84, "2_alt" },
        { 85, "3_alt" }, { 86, "4_alt" }, { 87, "5_alt" }, { 88, "6_alt" }, { 89, "7_alt" },
        { 91, "8_alt" }, { 92, "9_alt" }, { 96, ch (0x10) }, { 97, ch (0x10) + "_alt" },
        { 98, ch (0x10) + "_alt" }, { 99, ch (0x10) + "_alt" }, { 100, ch (0x10) + "_alt" },
        { 101, ch (0x10) + "_alt" }, { 103, ch (0x10) + "_alt" }, { 109, ch (0x10) + "_alt" },
        { 111, ch (0x10) + "_alt" }, { 114, ch (5) }, { 115, ch (1) }, { 116, ch (0x0b) },
        { 117, "Delete" }, { 118, ch (0x10) + "_alt" }, { 119, ch (4) }, { 120, ch (0x10) + "_alt" },
        { 121, ch (0x0c) }, { 122, ch (0x10) + "_alt" }, { 123, "LeftArrow" }, { 124, "RightArrow" },
        { 125, "DownArrow" }, { 126, "UpArrow" },
    };

    EXPECT_EQ (wizard.codeToName, expected);
    EXPECT_EQ (wizard.getCode ("0_alt"), 82);
    EXPECT_EQ (wizard.getCode (ch (0x10) + "_alt"), 122);   // the highest F-key code wins

    juce::uint32 state = 0;
    EXPECT_FALSE (layout->translate (52, state).ok);   // no key at that code
    EXPECT_FALSE (layout->translate (128, state).ok);
    EXPECT_EQ (state, 0u);
}

TEST (X11KeyboardLayout, GermanDeadKeysComposeWithTheNextKey)
{
    ScopedXvfb xvfb;
    ASSERT_TRUE (xvfb.isRunning());
    auto layout = layoutOf (xvfb, "de");
    ASSERT_NE (layout, nullptr);

    MacKeyCodeWizard wizard (layout);
    EXPECT_EQ (wizard.getName (6), "y");
    EXPECT_EQ (wizard.getName (16), "z");
    EXPECT_EQ (wizard.getName (27), ch (0xdf));
    EXPECT_EQ (wizard.getName (24), "");        // dead acute: no name
    EXPECT_EQ (wizard.getName (50), "");        // dead circumflex
    EXPECT_EQ (wizard.getName (49), "Space");
    EXPECT_EQ (wizard.getName (36), "Return");

    juce::uint32 state = 0;
    EXPECT_EQ (translate (*layout, 24, state), "");
    EXPECT_NE (state, 0u);
    EXPECT_EQ (translate (*layout, 14, state), ch (0xe9));      // é
    EXPECT_EQ (state, 0u);

    EXPECT_EQ (translate (*layout, 24, state), "");
    EXPECT_EQ (translate (*layout, 56, state), "");             // Shift keeps the dead key
    EXPECT_NE (state, 0u);
    EXPECT_EQ (translate (*layout, 0, state), ch (0xe1));       // á
    EXPECT_EQ (state, 0u);

    EXPECT_EQ (translate (*layout, 24, state), "");
    EXPECT_EQ (translate (*layout, 12, state), ch (0xb4) + "q"); // no acute q: both characters
    EXPECT_EQ (state, 0u);

    EXPECT_EQ (translate (*layout, 24, state), "");
    EXPECT_EQ (translate (*layout, 24, state), ch (0xb4));      // twice: the accent itself

    EXPECT_EQ (translate (*layout, 50, state), "");
    EXPECT_EQ (translate (*layout, 0, state), ch (0xe2));       // â
    EXPECT_EQ (translate (*layout, 0, state), "a");
}

TEST (X11KeyboardLayout, PlatformFollowsAKeymapChange)
{
    ScopedXvfb xvfb;
    ASSERT_TRUE (xvfb.isRunning());
    ASSERT_TRUE (xvfb.runClient ({ "setxkbmap", "us" }));
    auto platform = createX11InputPlatform (xvfb.getDisplayName());
    ASSERT_NE (platform, nullptr);

    auto before = platform->getCurrentKeyboardLayout();
    ASSERT_NE (before, nullptr);
    juce::uint32 state = 0;
    EXPECT_EQ (translate (*before, 6, state), "z");

    ASSERT_TRUE (xvfb.runClient ({ "setxkbmap", "de" }));
    const auto deadline = juce::Time::getMillisecondCounter() + 5000;
    juce::String typed;

    while (typed != "y" && juce::Time::getMillisecondCounter() < deadline)
    {
        typed = translate (*platform->getCurrentKeyboardLayout(), 6, state);
        juce::Thread::sleep (10);
    }

    EXPECT_EQ (typed, "y");
    EXPECT_EQ (translate (*before, 6, state), "z");   // a layout is a snapshot
}
