#include "platform/x11/X11Keymap.h"

#include "platform/x11/MacKeyPositions.h"

#include <xkbcommon/xkbcommon-x11.h>

std::shared_ptr<const X11Keymap> X11Keymap::load (xcb_connection_t* connection)
{
    const auto device = xkb_x11_get_core_keyboard_device_id (connection);

    if (device < 0)
        return {};

    std::shared_ptr<X11Keymap> result (new X11Keymap());
    result->context = xkb_context_new ((xkb_context_flags) (XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES));

    if (result->context == nullptr)
        return {};

    result->keymap = xkb_x11_keymap_new_from_device (result->context, connection, device,
                                                     XKB_KEYMAP_COMPILE_NO_FLAGS);

    if (result->keymap == nullptr)
        return {};

    if (auto* state = xkb_x11_state_new_from_device (result->keymap, connection, device))
    {
        result->group = xkb_state_serialize_layout (state, XKB_STATE_LAYOUT_EFFECTIVE);
        xkb_state_unref (state);
    }

    auto* keymap = result->keymap;
    result->minKeycode = (xcb_keycode_t) juce::jlimit<xkb_keycode_t> (0, 255, xkb_keymap_min_keycode (keymap));
    result->maxKeycode = (xcb_keycode_t) juce::jlimit<xkb_keycode_t> (0, 255, xkb_keymap_max_keycode (keymap));
    result->macKeys.fill (-1);

    for (juce::uint16 code = 0; code < 128; ++code)
    {
        auto* name = MacKeyPositions::xkbNameOfMacKeyCode (code);

        if (name == nullptr)
            continue;

        const auto keycode = xkb_keymap_key_by_name (keymap, name);

        if (keycode == XKB_KEYCODE_INVALID || keycode > 255)
            continue;

        result->keycodes[code] = (xcb_keycode_t) keycode;

        if (result->macKeys[keycode] < 0)
            result->macKeys[keycode] = (juce::int16) code;
    }

    return result;
}

X11Keymap::~X11Keymap()
{
    if (keymap != nullptr)
        xkb_keymap_unref (keymap);

    if (context != nullptr)
        xkb_context_unref (context);
}

xcb_keycode_t X11Keymap::keycodeOfMacKey (juce::uint16 macKeyCode) const noexcept
{
    return macKeyCode < 128 ? keycodes[macKeyCode] : 0;
}

int X11Keymap::macKeyOfKeycode (xcb_keycode_t keycode) const noexcept
{
    return macKeys[keycode];
}

xkb_keysym_t X11Keymap::keysymAt (xcb_keycode_t keycode, xkb_level_index_t level) const
{
    const auto layouts = xkb_keymap_num_layouts_for_key (keymap, keycode);

    if (layouts == 0)
        return XKB_KEY_NoSymbol;

    // Keys with fewer groups than the keymap wrap around, as the server does.
    const auto layout = group < layouts ? group : group % layouts;
    const xkb_keysym_t* syms = nullptr;

    if (xkb_keymap_key_get_syms_by_level (keymap, keycode, layout, level, &syms) < 1)
        return XKB_KEY_NoSymbol;

    return syms[0];
}

bool X11Keymap::isUnused (xcb_keycode_t keycode) const
{
    const auto layouts = xkb_keymap_num_layouts_for_key (keymap, keycode);

    for (xkb_layout_index_t layout = 0; layout < layouts; ++layout)
    {
        const auto levels = xkb_keymap_num_levels_for_key (keymap, keycode, layout);

        for (xkb_level_index_t level = 0; level < levels; ++level)
        {
            const xkb_keysym_t* syms = nullptr;
            const auto count = xkb_keymap_key_get_syms_by_level (keymap, keycode, layout, level, &syms);

            for (int i = 0; i < count; ++i)
                if (syms[i] != XKB_KEY_NoSymbol)
                    return false;
        }
    }

    return true;
}
