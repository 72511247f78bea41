#pragma once

#include <juce_core/juce_core.h>

/** Where each macOS virtual key code sits on a keyboard, as the XKB name of
    that physical key position (AC01 is the key right of Caps Lock, where a
    US layout has A). Codes that stand for no key of a PC keyboard (the
    function modifier, unused codes) have none. */
namespace MacKeyPositions
{
    /** The XKB key name of a code 0 to 127, or null. */
    const char* xkbNameOfMacKeyCode (juce::uint16 code) noexcept;
}
