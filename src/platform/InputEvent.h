#pragma once

#include <juce_core/juce_core.h>
#include <juce_graphics/juce_graphics.h>

/** The value every input event posted by this program carries in its source
    user data, so that the program's own event tap recognises it. */
inline constexpr juce::int64 kSyntheticEventMarker = 0xBEEFCAFE;

/** Modifier flags of an input event, with the values of the macOS event flags
    that the peers exchange. Every event carries at least nonCoalesced. */
namespace EventFlags
{
    inline constexpr juce::uint64 nonCoalesced = 0x100;
    inline constexpr juce::uint64 alphaShift   = 0x10000;   // Caps Lock is on (locked, not held)
    inline constexpr juce::uint64 shift        = 0x20000;
    inline constexpr juce::uint64 control      = 0x40000;
    inline constexpr juce::uint64 option       = 0x80000;
    inline constexpr juce::uint64 command      = 0x100000;

    inline constexpr juce::uint64 modifierMask = shift | control | option | command;
}

/** The kinds of input event, numbered as the macOS event types are, since the
    rest of the system reasons in those numbers. */
enum class InputEventType : juce::uint32
{
    null              = 0,   // an event of no kind the system handles
    leftMouseDown     = 1,
    leftMouseUp       = 2,
    rightMouseDown    = 3,
    rightMouseUp      = 4,
    mouseMoved        = 5,
    leftMouseDragged  = 6,
    rightMouseDragged = 7,
    keyDown           = 10,
    keyUp             = 11,
    flagsChanged      = 12,  // a modifier key went down or up; keyCode names it
    scrollWheel       = 22,
    otherMouseDown    = 25,
    otherMouseUp      = 26,
    otherMouseDragged = 27
};

/** macOS virtual key codes the layer itself needs to know. */
namespace MacKeyCodes
{
    inline constexpr juce::uint16 returnKey    = 36;
    inline constexpr juce::uint16 tab          = 48;
    inline constexpr juce::uint16 space        = 49;
    inline constexpr juce::uint16 backspace    = 51;
    inline constexpr juce::uint16 escape       = 53;
    inline constexpr juce::uint16 rightCommand = 54;
    inline constexpr juce::uint16 command      = 55;
    inline constexpr juce::uint16 shift        = 56;
    inline constexpr juce::uint16 capsLock     = 57;
    inline constexpr juce::uint16 option       = 58;
    inline constexpr juce::uint16 control      = 59;
    inline constexpr juce::uint16 rightShift   = 60;
    inline constexpr juce::uint16 rightOption  = 61;
    inline constexpr juce::uint16 rightControl = 62;
    inline constexpr juce::uint16 function     = 63;

    /** Codes run from 0 to this value inclusive. */
    inline constexpr juce::uint16 highest      = 127;

    /** The modifier flag a modifier key sets (0 for other keys and Caps Lock). */
    juce::uint64 flagOfModifierKey (juce::uint16 code);

    /** True for the keys that produce flagsChanged rather than key events:
        the Command, Shift, Caps Lock, Option, Control and Function keys. */
    bool isModifierKey (juce::uint16 code);
}

/** One input event, as the event tap reports it or as it is posted.

    Fields that do not belong to an event's type keep their defaults:
    - location: the pointer in global screen coordinates, for every event the
      tap reports; for posted moves and drags, the place to move to;
    - delta: how far a move or drag went since the previous one;
    - keyCode: macOS virtual key code of key and flagsChanged events;
    - flags: modifier state (EventFlags);
    - clickState: 1 for a single click, 2 for a double click and so on, on
      button events (the up of a click carries the count of its down);
    - buttonNumber: 0 left, 1 right, 2 middle and so on;
    - scrollDeltaAxis1 / scrollDeltaAxis2: scroll distance in pixels, vertical
      (positive: up) and horizontal (positive: left);
    - unicodeUnit: for a posted key event, the one UTF-16 unit it types (0: the
      key code decides);
    - sourceUserData: kSyntheticEventMarker on events this program posted.
*/
struct InputEvent
{
    InputEventType type = InputEventType::null;
    juce::Point<double> location;
    juce::Point<double> delta;
    juce::uint16 keyCode = 0;
    juce::uint64 flags = EventFlags::nonCoalesced;
    juce::int64 clickState = 0;
    int buttonNumber = 0;
    juce::int32 scrollDeltaAxis1 = 0;
    juce::int32 scrollDeltaAxis2 = 0;
    char16_t unicodeUnit = 0;
    juce::int64 sourceUserData = 0;

    bool isMarked() const noexcept { return sourceUserData == kSyntheticEventMarker; }

    bool isKeyboardEvent() const noexcept;
    bool isMotion() const noexcept;
    bool isButtonEvent() const noexcept;

    /** Key, button, wheel and modifier events: what withholding keeps from
        the local desktop. Pointer motion is never withheld. */
    bool isWithholdable() const noexcept;

    /** A pointer move, a left drag (leftButtonHeld) at a location. */
    static InputEvent mouseMove (juce::Point<double> location, bool leftButtonHeld = false);

    /** A button going down or up; button 0 is the left one, 1 the right one. */
    static InputEvent mouseButton (int button, bool down, juce::Point<double> location,
                                   juce::uint64 flags = EventFlags::nonCoalesced,
                                   juce::int64 clickState = 1);

    /** A vertical scroll by a number of pixels (positive: up). */
    static InputEvent scroll (juce::int32 pixels);

    /** A key going down or up, by macOS virtual key code. */
    static InputEvent key (juce::uint16 keyCode, bool down,
                           juce::uint64 flags = EventFlags::nonCoalesced);

    /** A key event that types one UTF-16 unit, whatever key it takes. */
    static InputEvent unicodeKey (char16_t unit, bool down);

    /** Short text for logs and test failures. */
    juce::String describe() const;

    bool operator== (const InputEvent& other) const noexcept;
    bool operator!= (const InputEvent& other) const noexcept { return ! operator== (other); }
};
