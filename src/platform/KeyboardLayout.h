#pragma once

#include <juce_core/juce_core.h>

#include <array>

/** What one key translation produced: the status and up to four UTF-16 units. */
struct KeyTranslation
{
    static constexpr int maxUnits = 4;

    /** False when the key could not be translated at all (a code the layout
        does not know); such a key produces no units. */
    bool ok = false;

    int length = 0;
    std::array<char16_t, maxUnits> units {};

    juce::String toString() const;
};

/** A keyboard layout: what each key types.

    Keys are named by macOS virtual key code (0 to 127). A translation is a
    key-down with no modifier held. The caller keeps the dead-key state between
    translations, starting from 0:
    - a dead key produces no units and leaves a non-zero state;
    - the next key that produces a character composes with the pending dead
      key (a dead acute then e gives é), or, when the two do not compose, yields
      the dead key's own character followed by the key's (up to four units);
      either way the state returns to 0;
    - a key that types nothing (a modifier) leaves the state as it is.

    A layout is a snapshot taken when it was made; it is immutable and may be
    used from any thread. */
class KeyboardLayout
{
public:
    virtual ~KeyboardLayout() = default;

    virtual KeyTranslation translate (juce::uint16 macKeyCode, juce::uint32& deadKeyState) const = 0;

    /** The physical keyboard type, a number that travels with a translation on
        the system the codes come from; nothing here depends on it. */
    virtual juce::uint32 getKeyboardType() const = 0;
};
