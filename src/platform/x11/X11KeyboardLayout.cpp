#include "platform/x11/X11KeyboardLayout.h"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <cstdlib>

namespace
{
bool isDeadKeysym (xkb_keysym_t sym)
{
    return sym >= XKB_KEY_dead_grave && sym <= 0xfe93;
}

bool isKeypadKeysym (xkb_keysym_t sym)
{
    return sym >= XKB_KEY_KP_Space && sym <= XKB_KEY_KP_9;
}

// Keys that type no character under X but a control character elsewhere.
juce::juce_wchar functionKeyCharacter (xkb_keysym_t sym)
{
    switch (sym)
    {
        case XKB_KEY_Home:     return 0x01;
        case XKB_KEY_End:      return 0x04;
        case XKB_KEY_Insert:
        case XKB_KEY_Help:     return 0x05;
        case XKB_KEY_KP_Enter: return 0x03;
        case XKB_KEY_Prior:    return 0x0b;
        case XKB_KEY_Next:     return 0x0c;
        case XKB_KEY_Num_Lock: return 0x1b;
        case XKB_KEY_Left:     return 0x1c;
        case XKB_KEY_Right:    return 0x1d;
        case XKB_KEY_Up:       return 0x1e;
        case XKB_KEY_Down:     return 0x1f;
        default: break;
    }

    return sym >= XKB_KEY_F1 && sym <= XKB_KEY_F35 ? 0x10 : 0;
}

juce::juce_wchar characterOf (xkb_keysym_t sym)
{
    if (auto c = functionKeyCharacter (sym))
        return c;

    return (juce::juce_wchar) xkb_keysym_to_utf32 (sym);
}

juce::juce_wchar spacingAccent (xkb_keysym_t sym)
{
    switch (sym)
    {
        case XKB_KEY_dead_grave:       return 0x60;
        case XKB_KEY_dead_acute:       return 0xb4;
        case XKB_KEY_dead_circumflex:  return 0x5e;
        case XKB_KEY_dead_tilde:       return 0x7e;
        case XKB_KEY_dead_macron:      return 0xaf;
        case XKB_KEY_dead_breve:       return 0x2d8;
        case XKB_KEY_dead_abovedot:    return 0x2d9;
        case XKB_KEY_dead_diaeresis:   return 0xa8;
        case XKB_KEY_dead_abovering:   return 0xb0;
        case XKB_KEY_dead_doubleacute: return 0x2dd;
        case XKB_KEY_dead_caron:       return 0x2c7;
        case XKB_KEY_dead_cedilla:     return 0xb8;
        case XKB_KEY_dead_ogonek:      return 0x2db;
        case XKB_KEY_dead_iota:        return 0x37a;
        default:                       return 0;
    }
}

std::vector<xkb_keysym_t> decodeState (juce::uint32 state)
{
    std::vector<xkb_keysym_t> syms;

    for (; state != 0 && syms.size() < 4; state >>= 8)
        syms.push_back (0xfe00 + (state & 0xff));

    return syms;
}

juce::uint32 encodeState (const std::vector<xkb_keysym_t>& syms)
{
    juce::uint32 state = 0;

    for (size_t i = syms.size(); i-- > 0;)
        state = (state << 8) | (syms[i] & 0xff);

    return state;
}

void append (KeyTranslation& result, const juce::String& text)
{
    for (auto p = text.toUTF16(); ! p.isEmpty(); ++p)
    {
        auto c = *p;
        juce::CharPointer_UTF16::CharType units[2];

        if (c >= 0x10000)
        {
            units[0] = (juce::CharPointer_UTF16::CharType) (0xd800 + ((c - 0x10000) >> 10));
            units[1] = (juce::CharPointer_UTF16::CharType) (0xdc00 + ((c - 0x10000) & 0x3ff));

            if (result.length + 2 > KeyTranslation::maxUnits)
                return;

            result.units[(size_t) result.length++] = (char16_t) units[0];
            result.units[(size_t) result.length++] = (char16_t) units[1];
        }
        else
        {
            if (result.length + 1 > KeyTranslation::maxUnits)
                return;

            result.units[(size_t) result.length++] = (char16_t) c;
        }
    }
}

const char* localeName()
{
    for (auto* variable : { "LC_ALL", "LC_CTYPE", "LANG" })
        if (auto* value = std::getenv (variable); value != nullptr && *value != 0)
            return value;

    return "C";
}
} // namespace

X11KeyboardLayout::X11KeyboardLayout (std::shared_ptr<const X11Keymap> km)
    : keymap (std::move (km))
{
    composeContext = xkb_context_new (XKB_CONTEXT_NO_DEFAULT_INCLUDES);

    if (composeContext == nullptr)
        return;

    for (auto* locale : { localeName(), "C", "en_US.UTF-8" })
        if (composeTable == nullptr)
            composeTable = xkb_compose_table_new_from_locale (composeContext, locale,
                                                              XKB_COMPOSE_COMPILE_NO_FLAGS);
}

X11KeyboardLayout::~X11KeyboardLayout()
{
    if (composeTable != nullptr)
        xkb_compose_table_unref (composeTable);

    if (composeContext != nullptr)
        xkb_context_unref (composeContext);
}

X11KeyboardLayout::Composition X11KeyboardLayout::compose (const std::vector<xkb_keysym_t>& sequence,
                                                           juce::String& result) const
{
    if (composeTable == nullptr)
        return Composition::failed;

    auto* state = xkb_compose_state_new (composeTable, XKB_COMPOSE_STATE_NO_FLAGS);

    if (state == nullptr)
        return Composition::failed;

    for (auto sym : sequence)
        xkb_compose_state_feed (state, sym);

    auto outcome = Composition::failed;

    switch (xkb_compose_state_get_status (state))
    {
        case XKB_COMPOSE_COMPOSED:
        {
            char utf8[64] = {};
            xkb_compose_state_get_utf8 (state, utf8, sizeof (utf8));
            result = juce::String::fromUTF8 (utf8);

            if (result.isEmpty())
                if (auto c = xkb_keysym_to_utf32 (xkb_compose_state_get_one_sym (state)))
                    result = juce::String::charToString ((juce::juce_wchar) c);

            outcome = result.isNotEmpty() ? Composition::composed : Composition::failed;
            break;
        }

        case XKB_COMPOSE_COMPOSING:
            outcome = Composition::composing;
            break;

        case XKB_COMPOSE_NOTHING:
        case XKB_COMPOSE_CANCELLED:
        default:
            break;
    }

    xkb_compose_state_unref (state);
    return outcome;
}

juce::String X11KeyboardLayout::spacingFormOf (xkb_keysym_t deadKeysym) const
{
    if (auto c = spacingAccent (deadKeysym))
        return juce::String::charToString (c);

    juce::String composed;

    if (compose ({ deadKeysym, XKB_KEY_space }, composed) == Composition::composed)
        return composed;

    return {};
}

KeyTranslation X11KeyboardLayout::translate (juce::uint16 macKeyCode, juce::uint32& deadKeyState) const
{
    KeyTranslation result;
    const auto keycode = keymap->keycodeOfMacKey (macKeyCode);

    if (keycode == 0)
        return result;

    result.ok = true;
    auto sym = keymap->keysymAt (keycode, 0);

    if (isKeypadKeysym (sym) && characterOf (sym) == 0)
        sym = keymap->keysymAt (keycode, 1);

    if (sym == XKB_KEY_NoSymbol)
        return result;

    auto pending = decodeState (deadKeyState);

    if (isDeadKeysym (sym))
    {
        if (pending.empty())
        {
            deadKeyState = encodeState ({ sym });
            return result;
        }

        pending.push_back (sym);
        juce::String composed;
        const auto outcome = compose (pending, composed);

        if (outcome == Composition::composing && pending.size() < 4)
        {
            deadKeyState = encodeState (pending);
            return result;
        }

        deadKeyState = 0;

        if (outcome == Composition::composed)
        {
            append (result, composed);
        }
        else
        {
            for (auto dead : pending)
                append (result, spacingFormOf (dead));
        }

        return result;
    }

    const auto character = characterOf (sym);

    if (character == 0)
        return result;

    if (pending.empty())
    {
        append (result, juce::String::charToString (character));
        return result;
    }

    deadKeyState = 0;
    pending.push_back (sym);
    juce::String composed;

    if (compose (pending, composed) == Composition::composed)
    {
        append (result, composed);
        return result;
    }

    pending.pop_back();

    for (auto dead : pending)
        append (result, spacingFormOf (dead));

    append (result, juce::String::charToString (character));
    return result;
}
