// Key translation and the key-name tables on an X server's real keymap, with
// a US layout and with a German one that has dead keys.

#include "input/MacKeyCodeWizard.h"
#include "platform/X11Backend.h"
#include "support/ScopedXvfb.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

namespace
{
juce::String ch (int c) { return juce::String::charToString ((juce::juce_wchar) c); }

juce::String translate (const KeyboardLayout& layout, juce::uint16 code, juce::uint32& state)
{
    return layout.translate (code, state).toString();
}
} // namespace

TEST (X11KeyboardLayout, NamesUsKeysComposesGermanDeadKeysAndFollowsAKeymapChange)
{
    ScopedXvfb xvfb;
    ASSERT_TRUE (xvfb.isRunning());
    ASSERT_TRUE (xvfb.runClient ({ "setxkbmap", "us" }));
    auto platform = createX11InputPlatform (xvfb.getDisplayName());
    ASSERT_NE (platform, nullptr);
    auto us = platform->getCurrentKeyboardLayout();
    ASSERT_NE (us, nullptr);

    // Every code 0..127: what its key types at its position; control
    // characters for the keys that type no character under X; keypad keys
    // their digits, so that they become the "_alt" twins of the main row
    // (the highest code winning the name); the fixed names.
    std::map<juce::uint16, juce::String> expected;
    const juce::String mainBlock ("asdfhgzxcv<bqweryt123465=97-80]ou[ip lj'k;\\,/nm.  `");   // 36, 48, 49: fixed

    for (juce::uint16 code = 0; code < mainBlock.length(); ++code)
        expected[code] = mainBlock.substring (code, code + 1);

    for (int digit = 0; digit <= 9; ++digit)
        expected[(juce::uint16) (digit < 8 ? 82 + digit : 83 + digit)] = juce::String (digit) + "_alt";

    for (juce::uint16 code : { 97, 98, 99, 100, 101, 103, 109, 111, 118, 120, 122 })
        expected[code] = ch (0x10) + "_alt";

    for (auto& [code, name] : std::map<juce::uint16, juce::String> {
             { 36, "Return" }, { 48, "Tab" }, { 49, "Space" }, { 51, "Backspace" }, { 53, ch (0x1b) }, { 55, "Command" },
             { 56, "Shift" }, { 57, "CapsLock" }, { 58, "Option" }, { 59, "Control" }, { 65, "._alt" }, { 67, "*" },
             { 69, "+" }, { 71, ch (0x1b) + "_alt" }, { 75, "/_alt" }, { 76, ch (3) }, { 78, "-_alt" }, { 81, "=_alt" },
             { 96, ch (0x10) }, { 114, ch (5) }, { 115, ch (1) }, { 116, ch (0x0b) }, { 117, "Delete" }, { 119, ch (4) },
             { 121, ch (0x0c) }, { 123, "LeftArrow" }, { 124, "RightArrow" }, { 125, "DownArrow" }, { 126, "UpArrow" } })
        expected[code] = name;

    MacKeyCodeWizard usNames (us);
    EXPECT_EQ (usNames.codeToName, expected);
    EXPECT_EQ (usNames.getCode (ch (0x10) + "_alt"), 122);

    juce::uint32 state = 0;
    EXPECT_FALSE (us->translate (52, state).ok);   // no key at that code
    EXPECT_FALSE (us->translate (128, state).ok);
    EXPECT_EQ (state, 0u);

    // The platform follows a keymap change; a layout it gave is a snapshot.
    ASSERT_TRUE (xvfb.runClient ({ "setxkbmap", "de" }));
    EXPECT_TRUE (TestEnvironment::waitUntil ([&] { return translate (*platform->getCurrentKeyboardLayout(), 6, state) == "y"; }, 5000));
    EXPECT_EQ (translate (*us, 6, state), "z");
    auto de = platform->getCurrentKeyboardLayout();

    MacKeyCodeWizard deNames (de);

    for (auto& [code, name] : std::map<juce::uint16, juce::String> { { 6, "y" }, { 16, "z" }, { 27, ch (0xdf) }, { 24, "" },
                                                                     { 50, "" }, { 49, "Space" }, { 36, "Return" } })
        EXPECT_EQ (deNames.getName (code), name) << code;   // dead acute (24) and circumflex (50): no name

    // A dead key composes with the next key through the compose table;
    // Shift keeps it; a key without a composed form gives both characters;
    // the dead key twice gives the accent. Nothing typed means a dead key waits.
    const std::pair<juce::uint16, juce::String> typed[] = { { 24, "" }, { 14, ch (0xe9) }, { 24, "" }, { 56, "" }, { 0, ch (0xe1) },
                                                            { 24, "" }, { 12, ch (0xb4) + "q" }, { 24, "" }, { 24, ch (0xb4) },
                                                            { 50, "" }, { 0, ch (0xe2) }, { 0, "a" } };

    for (auto& [code, text] : typed)
    {
        EXPECT_EQ (translate (*de, code, state), text) << code;
        EXPECT_EQ (state != 0, text.isEmpty()) << code;
    }
}
