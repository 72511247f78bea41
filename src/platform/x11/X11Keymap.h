#pragma once

// X11 only: include from the X11 backend's sources alone.

#include <juce_core/juce_core.h>

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <memory>

/** A snapshot of the X server's keymap of the core keyboard, with the
    current layout group, and the translation between macOS virtual key codes
    and X keycodes by physical key position. Immutable: any thread may read it. */
class X11Keymap
{
public:
    /** Reads the keymap through a connection on which XKB is set up; null
        when that fails. */
    static std::shared_ptr<const X11Keymap> load (xcb_connection_t* connection);

    ~X11Keymap();

    X11Keymap (const X11Keymap&) = delete;
    X11Keymap& operator= (const X11Keymap&) = delete;

    xkb_keymap* getKeymap() const noexcept { return keymap; }
    xkb_layout_index_t getGroup() const noexcept { return group; }

    /** The X keycode at the position of a macOS key code; 0 for none. */
    xcb_keycode_t keycodeOfMacKey (juce::uint16 macKeyCode) const noexcept;

    /** The macOS key code at the position of an X keycode; -1 for none. */
    int macKeyOfKeycode (xcb_keycode_t keycode) const noexcept;

    /** The first keysym of a key at a shift level of the current group;
        XKB_KEY_NoSymbol for none. */
    xkb_keysym_t keysymAt (xcb_keycode_t keycode, xkb_level_index_t level) const;

    /** True when a keycode carries no symbol in any group. */
    bool isUnused (xcb_keycode_t keycode) const;

    xcb_keycode_t getMinKeycode() const noexcept { return minKeycode; }
    xcb_keycode_t getMaxKeycode() const noexcept { return maxKeycode; }

private:
    X11Keymap() = default;

    xkb_context* context = nullptr;
    xkb_keymap* keymap = nullptr;
    xkb_layout_index_t group = 0;
    xcb_keycode_t minKeycode = 0, maxKeycode = 0;
    std::array<xcb_keycode_t, 128> keycodes {};
    std::array<juce::int16, 256> macKeys {};
};
