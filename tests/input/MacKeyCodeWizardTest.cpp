// The key-name tables, built from layouts held in memory.

#include "input/MacKeyCodeWizard.h"
#include "platform/memory/MemoryKeyboardLayout.h"

#include <gmock/gmock.h>

#include <cstdlib>

namespace
{
juce::String ch (int c) { return juce::String::charToString ((juce::juce_wchar) c); }
} // namespace

TEST (MacKeyCodeWizard, NamesKeysByWhatTheyTypeWithAltTwinsAndFixedNames)
{
    auto layout = std::make_shared<MemoryKeyboardLayout>();
    layout->setKey (7, "xy");         // only the first unit counts
    layout->setKey (11, "a");         // later keys typing "a" are its "_alt" twins...
    layout->setKey (45, "a");         // ...checked against the plain name only; the highest wins
    layout->setKey (36, ch (0xe9));   // Return types é: still "Return", but é is taken
    layout->setKey (40, ch (0xe9));
    layout->setDeadKey (49, 0xb4);    // a dead Space still gets its fixed name
    MacKeyCodeWizard wizard (layout);

    const std::pair<int, juce::String> names[] = {
        { 0, "a" }, { 12, "q" }, { 29, "0" }, { 53, ch (0x1b) }, { 7, "x" }, { 11, "a_alt" }, { 45, "a_alt" },
        { 40, ch (0xe9) + "_alt" }, { 82, "0_alt" }, { 71, ch (0x1b) + "_alt" }, { 64, ch (0x10) }, { 122, ch (0x10) + "_alt" },
        { 36, "Return" }, { 49, "Space" }, { 55, "Command" }, { 56, "Shift" }, { 57, "CapsLock" }, { 58, "Option" },
        { 59, "Control" }, { 51, "Backspace" }, { 48, "Tab" }, { 117, "Delete" }, { 123, "LeftArrow" },
        { 124, "RightArrow" }, { 125, "DownArrow" }, { 126, "UpArrow" },
    };

    for (auto& [code, name] : names)
    {
        EXPECT_EQ (wizard.getName ((juce::uint16) code), name) << code;
        EXPECT_EQ (wizard.getCode (name), code == 11 ? 45 : code) << name;
        EXPECT_TRUE (wizard.isKeyName (name)) << name;
    }

    EXPECT_FALSE (wizard.isKeyName (ch (0xe9)));
    EXPECT_FALSE (wizard.isKeyName ("a_alt_alt"));
    EXPECT_EQ (wizard.keyboardLayout, layout);
    EXPECT_EQ (wizard.deadKeyState, 0u);
}

TEST (MacKeyCodeWizard, KeysThatTypeNothingHaveNoNameAndLookupsAreExact)
{
    auto layout = std::make_shared<MemoryKeyboardLayout>();
    layout->setDeadKey (24, 0xb4);
    layout->setUntranslatable (1);
    layout->setKey (2, "");
    MacKeyCodeWizard wizard (layout);

    // A dead key, a failed translation, an empty one, right Command, codes of 128 and more.
    for (int code : { 24, 1, 2, 54, 128, 152, 0xffff })
        EXPECT_EQ (wizard.getName ((juce::uint16) code), "") << code;

    EXPECT_LE (wizard.codeToName.rbegin()->first, 127);

    for (auto* name : { "space", "A", "Space ", "" })
    {
        EXPECT_EQ (wizard.getCode (name), 0) << name;
        EXPECT_FALSE (wizard.isKeyName (name)) << name;
    }
}

TEST (MacKeyCodeWizard, WithoutALayoutBothTablesStayEmptyAndStderrSaysSo)
{
    ::testing::internal::CaptureStderr();
    MacKeyCodeWizard wizard (nullptr);
    EXPECT_EQ (::testing::internal::GetCapturedStderr(), "Failed to get keyboard layout data!\n");
    EXPECT_TRUE (wizard.codeToName.empty());
    EXPECT_TRUE (wizard.nameToCode.empty());
    EXPECT_EQ (wizard.getCode ("Space"), 0);
}

TEST (MacKeyCodeWizard, TheGlobalTablesComeFromTheDisplayBeforeMain)
{
    // The test sandbox gives every process a display with a US keymap.
    if (std::getenv ("DISPLAY") == nullptr)
        GTEST_SKIP() << "no display";

    EXPECT_EQ (macKeyCodeWizard.getName (49), "Space");
    EXPECT_EQ (macKeyCodeWizard.getName (0), "a");
}
