#pragma once

#include "platform/KeyboardLayout.h"

#include <map>
#include <memory>

/** The key-name tables: macOS virtual key codes 0 to 127 of this machine's
    keyboard layout and their names, both ways.

    A name is the character a key types with no modifier held, that character
    followed by "_alt" for every later key that types the same one, or one of
    the fixed names of Return, Space, the modifiers, Backspace, Tab, Delete and
    the arrows. The tables are built once, from the layout current at that
    moment, and only read afterwards, from any thread. */
class MacKeyCodeWizard
{
public:
    /** Builds the tables from the keyboard layout of the X11 desktop. */
    MacKeyCodeWizard();

    /** Builds the tables from the given layout; null stands for a desktop
        without layout data. */
    explicit MacKeyCodeWizard (std::shared_ptr<const KeyboardLayout> layout);

    /** The name of a key code; empty when it has none. */
    juce::String getName (juce::uint16 keyCode) const;

    /** The key code of a name (exact, case-sensitive); 0 when none has it. */
    juce::uint16 getCode (const juce::String& name) const;

    /** Whether a text is the name of a key. */
    bool isKeyName (const juce::String& name) const;

    /** The layout the tables were built from (null when there was none); the
        event tap translates typed keys with it too. */
    const std::shared_ptr<const KeyboardLayout> keyboardLayout;

    const std::map<juce::uint16, juce::String> codeToName;
    const std::map<juce::String, juce::uint16> nameToCode;

    /** The dead-key state the event tap carries from one typed key to the
        next; only the event tap's thread uses it. */
    juce::uint32 deadKeyState = 0;

    /** Written to the standard error stream when there is no layout. */
    static constexpr const char* noLayoutMessage = "Failed to get keyboard layout data!";

private:
    MacKeyCodeWizard (std::shared_ptr<const KeyboardLayout> layout, bool reportMissingLayout);
};

/** The tables of this machine, built before main from the layout current then. */
extern MacKeyCodeWizard macKeyCodeWizard;
