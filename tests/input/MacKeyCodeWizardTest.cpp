// The key-name tables, built from layouts held in memory.

#include "input/MacKeyCodeWizard.h"
#include "platform/MemoryKeyboardLayout.h"

#include <gmock/gmock.h>

#include <cstdlib>

namespace
{
std::shared_ptr<MemoryKeyboardLayout> usLayout()
{
    return std::make_shared<MemoryKeyboardLayout>();
}

juce::String ch (int c) { return juce::String::charToString ((juce::juce_wchar) c); }
} // namespace

TEST (MacKeyCodeWizard, NamesKeysByWhatTheyTypeAndBack)
{
    MacKeyCodeWizard wizard (usLayout());

    EXPECT_EQ (wizard.getName (0), "a");
    EXPECT_EQ (wizard.getName (12), "q");
    EXPECT_EQ (wizard.getName (29), "0");
    EXPECT_EQ (wizard.getName (53), ch (0x1b));   // a control character is a name too
    EXPECT_EQ (wizard.getCode ("a"), 0);
    EXPECT_EQ (wizard.getCode ("q"), 12);
    EXPECT_TRUE (wizard.isKeyName ("q"));
    EXPECT_EQ (wizard.deadKeyState, 0u);
    EXPECT_NE (wizard.keyboardLayout, nullptr);

    // Only the first unit of a key that types more than one.
    auto layout = usLayout();
    layout->setKey (7, "xy");
    EXPECT_EQ (MacKeyCodeWizard (layout).getName (7), "x");
}

TEST (MacKeyCodeWizard, FixedNamesReplaceWhatTheKeysType)
{
    auto layout = usLayout();
    layout->setKey (36, ch (0xe9)); // Return types é: still "Return", but é is taken
    layout->setKey (40, ch (0xe9));
    layout->setDeadKey (49, 0xb4); // a dead Space still gets its fixed name
    MacKeyCodeWizard wizard (layout);

    const std::pair<int, const char*> fixed[] = {
        { 36, "Return" }, { 49, "Space" }, { 55, "Command" }, { 56, "Shift" }, { 57, "CapsLock" },
        { 58, "Option" }, { 59, "Control" }, { 51, "Backspace" }, { 48, "Tab" }, { 117, "Delete" },
        { 123, "LeftArrow" }, { 124, "RightArrow" }, { 125, "DownArrow" }, { 126, "UpArrow" },
    };

    for (auto& [code, name] : fixed)
    {
        EXPECT_EQ (wizard.getName ((juce::uint16) code), name);
        EXPECT_EQ (wizard.getCode (name), code);
    }

    // The "_alt" test ran before the fixed names were stored.
    EXPECT_EQ (wizard.getName (40), ch (0xe9) + "_alt");
    EXPECT_FALSE (wizard.isKeyName (ch (0xe9)));
    EXPECT_EQ (wizard.getCode (ch (0xe9) + "_alt"), 40);
}

TEST (MacKeyCodeWizard, LaterKeysTypingTheSameCharacterAreAltAndTheHighestWins)
{
    auto layout = usLayout();
    layout->setKey (11, "a");
    layout->setKey (45, "a");
    MacKeyCodeWizard wizard (layout);

    EXPECT_EQ (wizard.getName (0), "a");
    EXPECT_EQ (wizard.getName (11), "a_alt");
    EXPECT_EQ (wizard.getName (45), "a_alt");   // checked against the plain name only
    EXPECT_EQ (wizard.getCode ("a"), 0);
    EXPECT_EQ (wizard.getCode ("a_alt"), 45);
    EXPECT_FALSE (wizard.isKeyName ("a_alt_alt"));

    // The US layout's keypad and function keys pair up the same way.
    MacKeyCodeWizard us (usLayout());
    EXPECT_EQ (us.getName (82), "0_alt");
    EXPECT_EQ (us.getName (71), ch (0x1b) + "_alt");
    EXPECT_EQ (us.getCode (ch (0x10)), 64);
    EXPECT_EQ (us.getCode (ch (0x10) + "_alt"), 122);
}

TEST (MacKeyCodeWizard, KeysThatTypeNothingOrFailHaveNoName)
{
    auto layout = usLayout();
    layout->setDeadKey (24, 0xb4);
    layout->setUntranslatable (1);
    layout->setKey (2, "");
    MacKeyCodeWizard wizard (layout);

    EXPECT_EQ (wizard.getName (24), "");
    EXPECT_EQ (wizard.getName (1), "");
    EXPECT_EQ (wizard.getName (2), "");
    EXPECT_EQ (wizard.getName (54), "");   // right Command types nothing
    EXPECT_EQ (wizard.getName (128), "");
    EXPECT_EQ (wizard.getName (0xffff), "");

    for (auto& entry : wizard.codeToName)
        EXPECT_LE (entry.first, 127);
}

TEST (MacKeyCodeWizard, LookupsAreExactAndChangeNothing)
{
    MacKeyCodeWizard wizard (usLayout());
    const auto names = wizard.codeToName;
    const auto codes = wizard.nameToCode;

    EXPECT_EQ (wizard.getCode ("space"), 0);
    EXPECT_FALSE (wizard.isKeyName ("space"));
    EXPECT_EQ (wizard.getCode ("A"), 0);
    EXPECT_EQ (wizard.getCode ("Space "), 0);
    EXPECT_EQ (wizard.getCode (""), 0);
    EXPECT_EQ (wizard.getName (52 + 100), "");

    EXPECT_EQ (wizard.codeToName, names);
    EXPECT_EQ (wizard.nameToCode, codes);
}

TEST (MacKeyCodeWizard, WithoutALayoutBothTablesStayEmptyAndStderrSaysSo)
{
    ::testing::internal::CaptureStderr();
    MacKeyCodeWizard wizard (nullptr);
    EXPECT_EQ (::testing::internal::GetCapturedStderr(), "Failed to get keyboard layout data!\n");

    EXPECT_TRUE (wizard.codeToName.empty());
    EXPECT_TRUE (wizard.nameToCode.empty());
    EXPECT_EQ (wizard.getName (49), "");
    EXPECT_EQ (wizard.getCode ("Space"), 0);
    EXPECT_EQ (wizard.keyboardLayout, nullptr);
}

TEST (MacKeyCodeWizard, TheGlobalTablesComeFromTheDisplayBeforeMain)
{
    // The test sandbox gives every process a display with a US keymap.
    if (std::getenv ("DISPLAY") == nullptr)
        GTEST_SKIP() << "no display";

    EXPECT_NE (macKeyCodeWizard.keyboardLayout, nullptr);
    EXPECT_EQ (macKeyCodeWizard.getName (49), "Space");
    EXPECT_EQ (macKeyCodeWizard.getName (0), "a");
}
