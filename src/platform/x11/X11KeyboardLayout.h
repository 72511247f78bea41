#pragma once

// X11 only: include from the X11 backend's sources alone.

#include "platform/KeyboardLayout.h"
#include "platform/x11/X11Keymap.h"

#include <xkbcommon/xkbcommon-compose.h>

#include <vector>

/** The keyboard layout of an X server, from a keymap snapshot: a macOS key
    code is taken to the X key at the same position, and the key's symbol at
    the first shift level of the current group gives its character. Keys
    without a character (arrows, function keys, Home, End, the page keys,
    Help, Enter, Clear) type the control characters the system gives them
    elsewhere, and keypad keys type their digits. Dead keys compose through
    xkbcommon's compose table of the user's locale.

    The dead-key state holds up to three pending dead keys, one per byte. */
class X11KeyboardLayout : public KeyboardLayout
{
public:
    explicit X11KeyboardLayout (std::shared_ptr<const X11Keymap> keymap);
    ~X11KeyboardLayout() override;

    KeyTranslation translate (juce::uint16 macKeyCode, juce::uint32& deadKeyState) const override;

    /** A PC keyboard has no type of the kind Apple keyboards report; this is
        the ANSI one's. */
    juce::uint32 getKeyboardType() const override { return 40; }

    const X11Keymap& getKeymap() const noexcept { return *keymap; }

private:
    enum class Composition { composed, composing, failed };

    Composition compose (const std::vector<xkb_keysym_t>& sequence, juce::String& result) const;
    juce::String spacingFormOf (xkb_keysym_t deadKeysym) const;

    std::shared_ptr<const X11Keymap> keymap;
    xkb_context* composeContext = nullptr;
    xkb_compose_table* composeTable = nullptr;
};
