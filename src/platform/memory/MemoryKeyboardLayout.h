#pragma once

#include "platform/KeyboardLayout.h"

#include <map>

/** A keyboard layout held in memory, for tests: by default what a US layout
    types with no modifier held (control characters for Return, Tab,
    Backspace, Escape, forward Delete, the arrows, Home, End, Page Up and
    Down, Help, Enter and the function keys, as the system names them), and
    nothing for the modifier keys. A test may change keys, make a key a dead
    key and set the keyboard type before it shares the layout.

    A dead key composes with the next key that types a letter it has a
    precomposed form for (acute, grave, circumflex, diaeresis and tilde on the
    vowels, n and y, as Latin-1 has them); space or the same dead key again
    gives the accent itself; any other character gives the accent followed by
    the character. */
class MemoryKeyboardLayout : public KeyboardLayout
{
public:
    MemoryKeyboardLayout();

    /** Makes a key type a text of one to four UTF-16 units; the empty text
        makes it type nothing. */
    void setKey (juce::uint16 macKeyCode, const juce::String& text);

    /** Makes a key a dead key whose accent is the given character: one of
        U+00B4 acute, ` grave, ^ circumflex, U+00A8 diaeresis or ~ tilde. */
    void setDeadKey (juce::uint16 macKeyCode, juce::juce_wchar accent);

    /** Makes the translation of a key fail. */
    void setUntranslatable (juce::uint16 macKeyCode);

    void setKeyboardType (juce::uint32 type) noexcept { keyboardType = type; }

    KeyTranslation translate (juce::uint16 macKeyCode, juce::uint32& deadKeyState) const override;
    juce::uint32 getKeyboardType() const override { return keyboardType; }

    /** The keyboard type a new layout reports. */
    static constexpr juce::uint32 defaultKeyboardType = 40;

private:
    struct Key
    {
        enum class Kind { types, dead, fails } kind = Kind::types;
        std::u16string text;
        juce::juce_wchar accent = 0;
    };

    std::map<juce::uint16, Key> keys;
    juce::uint32 keyboardType = defaultKeyboardType;
};
