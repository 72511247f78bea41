#include "platform/x11/X11InputPlatform.h"

#include "core/Logging.h"
#include "platform/X11Backend.h"
#include "platform/x11/X11EventTap.h"
#include "platform/x11/X11KeyboardLayout.h"

#include <xcb/xfixes.h>
#include "platform/x11/XcbXkb.h"
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <cmath>
#include <cstdlib>
#include <thread>
#include <utility>

namespace
{
constexpr size_t maxSpareKeycodes = 8;
constexpr juce::uint32 minimumSpareReuseMs = 50;

juce::uint32 nowMs()
{
    return juce::Time::getMillisecondCounter();
}

// A position in whole pixels as the protocol carries it, 16 bits: a point
// beyond would wrap and land elsewhere, and the tap would not know the move
// as ours. The server keeps the pointer on the screen, so a point beyond the
// screen's edge ends on it either way.
juce::Point<int> toProtocolPosition (juce::Point<double> p)
{
    auto toInt = [] (double v)
    {
        return std::isnan (v) ? 0 : (int) juce::jlimit (-32768.0, 32767.0, std::round (v));
    };

    return { toInt (p.x), toInt (p.y) };
}

// The X button of a button event.
int xButtonOf (const InputEvent& event)
{
    if (event.type == InputEventType::leftMouseDown || event.type == InputEventType::leftMouseUp)
        return 1;

    if (event.type == InputEventType::rightMouseDown || event.type == InputEventType::rightMouseUp)
        return 3;

    switch (event.buttonNumber)
    {
        case 0:  return 1;
        case 1:  return 3;
        case 2:  return 2;
        default: return event.buttonNumber >= 3 && event.buttonNumber < 250 ? event.buttonNumber + 5 : 0;
    }
}

xcb_keysym_t keysymOfUnit (char16_t unit)
{
    switch (unit)
    {
        case u'\r': case u'\n': return XKB_KEY_Return;
        case u'\t':             return XKB_KEY_Tab;
        case 0x08:              return XKB_KEY_BackSpace;
        case 0x1b:              return XKB_KEY_Escape;
        case 0x7f:              return XKB_KEY_Delete;
        default: break;
    }

    if ((unit >= 0x20 && unit < 0x7f) || (unit >= 0xa0 && unit <= 0xff))
        return unit;

    return 0x01000000u | unit;
}

struct ModifierKey
{
    juce::uint64 flag;
    juce::uint16 macKeyCode;
    uint16_t coreMask;
};

// The core modifier each flag stands for in the usual X keymaps.
constexpr ModifierKey modifierKeys[] = {
    { EventFlags::shift,   MacKeyCodes::shift,   XCB_MOD_MASK_SHIFT },
    { EventFlags::control, MacKeyCodes::control, XCB_MOD_MASK_CONTROL },
    { EventFlags::option,  MacKeyCodes::option,  XCB_MOD_MASK_1 },
    { EventFlags::command, MacKeyCodes::command, XCB_MOD_MASK_4 },
};
} // namespace

//==============================================================================
std::unique_ptr<InputPlatform> createX11InputPlatform (const juce::String& displayName)
{
    return X11InputPlatform::create (displayName);
}

std::shared_ptr<const KeyboardLayout> loadX11KeyboardLayout (const juce::String& displayName)
{
    if (displayName.isEmpty())
        holdX11Display();   // this connection's closing must not reset the server

    X11Connection connection (displayName);

    if (! connection.isOk() || connection.setUpXkb() < 0)
        return {};

    auto keymap = X11Keymap::load (connection.get());

    if (keymap == nullptr)
        return {};

    return std::make_shared<X11KeyboardLayout> (std::move (keymap));
}

//==============================================================================
std::unique_ptr<X11InputPlatform> X11InputPlatform::create (const juce::String& displayName)
{
    auto control = std::make_unique<X11Connection> (displayName);

    if (! control->isOk())
    {
        DBGOrLog ("X11 input: cannot open the display " + displayName);
        return {};
    }

    const auto missing = control->findMissingInputSupport();

    if (! missing.isEmpty())
    {
        DBGOrLog ("X11 input: the display lacks " + missing.joinIntoString (" and "));
        return {};
    }

    auto platform = std::make_unique<X11InputPlatform> (displayName, std::move (control));

    if (platform->keymap == nullptr)
    {
        DBGOrLog ("X11 input: cannot read the keymap");
        return {};
    }

    return platform;
}

X11InputPlatform::X11InputPlatform (const juce::String& name, std::unique_ptr<X11Connection> connection)
    : displayName (name), control (std::move (connection))
{
    auto* c = control->get();
    xkbFirstEvent = control->setUpXkb();

    // Keymap changes mark the cached keymap stale.
    const uint16_t xkbEvents = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY
                             | XCB_XKB_EVENT_TYPE_NAMES_NOTIFY;
    const uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS
                            | XCB_XKB_MAP_PART_MODIFIER_MAP;
    xcb_xkb_select_events_details_t details {};
    xcb_xkb_select_events_aux (c, XCB_XKB_ID_USE_CORE_KBD, xkbEvents, 0, xkbEvents,
                               mapParts, mapParts, &details);

    keymap = X11Keymap::load (c);

    if (keymap != nullptr)
    {
        if (auto* mapping = xcb_get_keyboard_mapping_reply (
                c, xcb_get_keyboard_mapping (c, keymap->getMinKeycode(), 1), nullptr))
        {
            keysymsPerKeycode = juce::jmax (1, (int) mapping->keysyms_per_keycode);
            std::free (mapping);
        }

        for (int keycode = keymap->getMaxKeycode();
             keycode >= keymap->getMinKeycode() && spares.size() < maxSpareKeycodes; --keycode)
            if (keymap->macKeyOfKeycode ((xcb_keycode_t) keycode) < 0 && keymap->isUnused ((xcb_keycode_t) keycode))
                spares.push_back ({ (xcb_keycode_t) keycode, 0, 0, 0 });
    }

    // The window that holds the withholding grab: input only, outside the
    // screen, mapped for good so that grabbing needs no mapping first.
    grabWindow = xcb_generate_id (c);
    const uint32_t overrideRedirect = 1;
    xcb_create_window (c, XCB_COPY_FROM_PARENT, grabWindow, control->getRoot(), -10, -10, 1, 1, 0,
                       XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT,
                       &overrideRedirect);
    xcb_map_window (c, grabWindow);
    control->sync();
}

X11InputPlatform::~X11InputPlatform()
{
    const std::lock_guard<std::mutex> l (controlLock);
    auto* c = control->get();

    if (grabbed)
    {
        xcb_ungrab_keyboard (c, XCB_CURRENT_TIME);
        xcb_ungrab_pointer (c, XCB_CURRENT_TIME);
        grabbed = false;
    }

    releaseEverythingHeld();
    giveBackSpares (true);
    xcb_destroy_window (c, grabWindow);
    control->sync();
}

//==============================================================================
std::unique_ptr<EventTap> X11InputPlatform::createEventTap (EventTap::Callback callback)
{
    return X11EventTap::create (*this, std::move (callback));
}

void X11InputPlatform::drainEvents()
{
    auto* c = control->get();

    while (auto* event = xcb_poll_for_event (c))
    {
        if (xkbFirstEvent >= 0 && (event->response_type & 0x7f) == xkbFirstEvent)
        {
            switch (reinterpret_cast<const uint8_t*> (event)[1])
            {
                case XCB_XKB_NEW_KEYBOARD_NOTIFY:
                case XCB_XKB_NAMES_NOTIFY:
                    namesChanged = true;
                    symbolsChanged = true;
                    break;

                case XCB_XKB_MAP_NOTIFY:
                    symbolsChanged = true;
                    break;

                default:
                    break;
            }
        }

        std::free (event);
    }
}

bool X11InputPlatform::refreshKeymap (bool needSymbols)
{
    drainEvents();

    if (keymap != nullptr && ! namesChanged && ! (needSymbols && symbolsChanged))
        return true;

    namesChanged = false;
    symbolsChanged = false;

    auto fresh = X11Keymap::load (control->get());

    if (fresh == nullptr)
        return keymap != nullptr;

    keymap = std::move (fresh);

    // A new keymap may have reset our spare keycodes or taken them.
    for (auto& spare : spares)
        if (spare.keysym != 0 && keymap->keysymAt (spare.keycode, 0) != spare.keysym)
            spare.keysym = 0;

    spares.remove_if ([this] (const SpareKeycode& spare)
                      {
                          return spare.keysym == 0 && spare.held == 0 && ! keymap->isUnused (spare.keycode);
                      });
    return true;
}

//==============================================================================
void X11InputPlatform::fakeKey (bool press, xcb_keycode_t keycode)
{
    if (press)
        keysDown.insert (keycode);
    else
        keysDown.erase (keycode);

    // Recorded also while no tap counts as running yet: a tap that is
    // starting may already see the event, and must not take it for the user's.
    recentPosts.add (press ? RecentPosts::Kind::keyPress : RecentPosts::Kind::keyRelease, keycode, {}, nowMs());

    xcb_test_fake_input (control->get(), press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode,
                         XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

void X11InputPlatform::fakeButton (bool press, int button)
{
    if (press)
        buttonsDown.insert (button);
    else
        buttonsDown.erase (button);

    recentPosts.add (press ? RecentPosts::Kind::buttonPress : RecentPosts::Kind::buttonRelease,
                     (juce::uint32) button, {}, nowMs());

    xcb_test_fake_input (control->get(), press ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, (uint8_t) button,
                         XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
}

void X11InputPlatform::fakeMotion (juce::Point<int> position)
{
    recentPosts.add (RecentPosts::Kind::motion, 0, position, nowMs());

    xcb_test_fake_input (control->get(), XCB_MOTION_NOTIFY, 0 /* absolute */, XCB_CURRENT_TIME,
                         control->getRoot(), (int16_t) position.x, (int16_t) position.y, 0);
}

std::vector<xcb_keycode_t> X11InputPlatform::pressModifiers (juce::uint64 flags, juce::uint64 except)
{
    std::vector<xcb_keycode_t> pressed;
    const auto wanted = flags & EventFlags::modifierMask & ~except;

    if (wanted == 0)
        return pressed;

    auto* c = control->get();
    uint16_t held = 0;

    if (auto* pointer = xcb_query_pointer_reply (c, xcb_query_pointer (c, control->getRoot()), nullptr))
    {
        held = pointer->mask;
        std::free (pointer);
    }

    for (auto& modifier : modifierKeys)
    {
        if ((wanted & modifier.flag) == 0 || (held & modifier.coreMask) != 0)
            continue;

        if (auto keycode = keymap->keycodeOfMacKey (modifier.macKeyCode))
        {
            fakeKey (true, keycode);
            pressed.push_back (keycode);
        }
    }

    return pressed;
}

void X11InputPlatform::releaseModifiers (const std::vector<xcb_keycode_t>& pressed)
{
    for (auto it = pressed.rbegin(); it != pressed.rend(); ++it)
        fakeKey (false, *it);
}

void X11InputPlatform::followModifiers (juce::uint64 flags, juce::uint64 untouched)
{
    const auto wanted = flags & EventFlags::modifierMask & ~untouched;

    for (auto it = std::rbegin (modifierKeys); it != std::rend (modifierKeys); ++it)
    {
        auto held = heldModifiers.find (it->flag);

        if (held != heldModifiers.end() && (wanted & it->flag) == 0 && (untouched & it->flag) == 0)
        {
            releaseKey (held->second);
            heldModifiers.erase (held);
        }
    }

    juce::uint64 missing = 0;

    for (auto& modifier : modifierKeys)
        if ((wanted & modifier.flag) != 0 && heldModifiers.count (modifier.flag) == 0)
            missing |= modifier.flag;

    if (missing == 0)
        return;

    const auto before = keysDown;
    pressModifiers (missing, 0);

    for (auto& modifier : modifierKeys)
        if (auto const keycode = (missing & modifier.flag) != 0 ? keymap->keycodeOfMacKey (modifier.macKeyCode) : xcb_keycode_t {})
            if (before.count (keycode) == 0 && keysDown.count (keycode) != 0)
                heldModifiers[modifier.flag] = keycode;
}

void X11InputPlatform::followCapsLock (juce::uint64 flags)
{
    const bool wanted = (flags & EventFlags::alphaShift) != 0;

    if (postedCapsLock == wanted)
        return;

    // From the first post on, the lock is the sender's; the desktop's own
    // state is kept to be given back when posts let go.
    postedCapsLock = wanted;
    const bool locked = isCapsLocked();

    if (! ownCapsLock.has_value())
        ownCapsLock = locked;

    if (locked != wanted)
        lockCaps (wanted);
}

bool X11InputPlatform::isCapsLocked()
{
    auto* c = control->get();
    auto* state = xcb_xkb_get_state_reply (c, xcb_xkb_get_state (c, XCB_XKB_ID_USE_CORE_KBD), nullptr);

    if (state == nullptr)
        return false;

    const bool locked = (state->lockedMods & XCB_MOD_MASK_LOCK) != 0;
    std::free (state);
    return locked;
}

void X11InputPlatform::lockCaps (bool locked)
{
    // The modifier itself, not the key at the Caps Lock position: a keymap
    // may give that key to Escape, Control or Backspace.
    xcb_xkb_latch_lock_state (control->get(), XCB_XKB_ID_USE_CORE_KBD, XCB_MOD_MASK_LOCK,
                              locked ? XCB_MOD_MASK_LOCK : 0, 0, 0, 0, 0, 0);
}

void X11InputPlatform::pressKeyWithoutRepeat (xcb_keycode_t keycode)
{
    auto* c = control->get();

    // Held already: one more press, as a repeat.
    if (keysDown.count (keycode) != 0)
    {
        fakeKey (false, keycode);
        fakeKey (true, keycode);
        return;
    }

    // The server's own repeats would come on top of the sender's.
    const auto cookie = xcb_get_keyboard_control (c);
    const uint32_t off[] = { keycode, XCB_AUTO_REPEAT_MODE_OFF };
    xcb_change_keyboard_control (c, XCB_KB_KEY | XCB_KB_AUTO_REPEAT_MODE, off);
    fakeKey (true, keycode);
    xcb_flush (c);

    if (auto* reply = xcb_get_keyboard_control_reply (c, cookie, nullptr))
    {
        if ((reply->auto_repeats[keycode / 8] & (1u << (keycode % 8))) != 0)
            repeatsToRestore.insert (keycode);

        std::free (reply);
    }
}

void X11InputPlatform::releaseKey (xcb_keycode_t keycode)
{
    fakeKey (false, keycode);

    if (repeatsToRestore.erase (keycode) != 0)
    {
        const uint32_t on[] = { keycode, XCB_AUTO_REPEAT_MODE_ON };
        xcb_change_keyboard_control (control->get(), XCB_KB_KEY | XCB_KB_AUTO_REPEAT_MODE, on);
    }
}

void X11InputPlatform::releaseEverythingHeld()
{
    for (auto& held : heldUnits)
    {
        if (auto* spare = held.second.spare)
        {
            spare->held = juce::jmax (0, spare->held - 1);
            spare->lastUseMs = nowMs();
        }
    }

    heldUnits.clear();
    std::set<xcb_keycode_t> modifiers;

    for (auto& held : heldModifiers)
        modifiers.insert (held.second);

    heldModifiers.clear();

    // Keys and buttons first, the modifiers that went with them last.
    for (auto keycode : std::set<xcb_keycode_t> (keysDown))
        if (modifiers.count (keycode) == 0)
            releaseKey (keycode);

    for (auto button : std::set<int> (buttonsDown))
        fakeButton (false, button);

    for (auto keycode : modifiers)
        releaseKey (keycode);

    if (ownCapsLock.has_value() && isCapsLocked() != *ownCapsLock)
        lockCaps (*ownCapsLock);

    postedCapsLock.reset();
    ownCapsLock.reset();
}

//==============================================================================
void X11InputPlatform::releaseHeldInput()
{
    if (! control->isOk())
        return;

    const std::lock_guard<std::mutex> l (controlLock);
    releaseEverythingHeld();
    xcb_flush (control->get());
}

bool X11InputPlatform::postEvent (const InputEvent& event)
{
    if (! control->isOk())
        return false;

    const std::lock_guard<std::mutex> l (controlLock);
    giveBackSpares (false);
    bool posted = false;

    switch (event.type)
    {
        case InputEventType::mouseMoved:
        case InputEventType::leftMouseDragged:
        case InputEventType::rightMouseDragged:
        case InputEventType::otherMouseDragged:
            fakeMotion (toProtocolPosition (event.location));
            posted = true;
            break;

        case InputEventType::leftMouseDown:  case InputEventType::leftMouseUp:
        case InputEventType::rightMouseDown: case InputEventType::rightMouseUp:
        case InputEventType::otherMouseDown: case InputEventType::otherMouseUp:
            posted = postButton (event);
            break;

        case InputEventType::scrollWheel:
            posted = postScroll (event);
            break;

        case InputEventType::keyDown:
        case InputEventType::keyUp:
            posted = event.unicodeUnit != 0 ? postUnicodeKey (event.unicodeUnit, event.type == InputEventType::keyDown, event.flags)
                                            : postKey (event);
            break;

        case InputEventType::null:
        case InputEventType::flagsChanged:
            break;
    }

    xcb_flush (control->get());
    return posted;
}

bool X11InputPlatform::postButton (const InputEvent& event)
{
    const auto button = xButtonOf (event);

    if (button <= 0 || ! refreshKeymap (false))
        return false;

    const bool down = event.type == InputEventType::leftMouseDown || event.type == InputEventType::rightMouseDown
                   || event.type == InputEventType::otherMouseDown;

    followModifiers (event.flags, 0);
    followCapsLock (event.flags);

    if (down || buttonsDown.count (button) != 0)
        fakeButton (down, button);

    return true;
}

bool X11InputPlatform::postScroll (const InputEvent& event)
{
    if (! refreshKeymap (false))
        return false;

    followModifiers (event.flags, 0);
    const juce::int32 deltas[2] = { event.scrollDeltaAxis1, event.scrollDeltaAxis2 };
    const int buttons[2][2] = { { 4, 5 }, { 6, 7 } };   // up, down; left, right

    for (int axis = 0; axis < 2; ++axis)
    {
        const auto delta = deltas[axis];

        if (delta == 0)
            continue;

        auto& remainder = scrollRemainder[axis];

        // A change of direction drops what was left of the other one.
        if ((delta > 0) != (remainder > 0))
            remainder = 0;

        const auto total = juce::jlimit<juce::int64> (-maxScrollPixelsPerPost, maxScrollPixelsPerPost,
                                                      (juce::int64) remainder + delta);
        const auto clicks = total / pixelsPerWheelClick;
        remainder = (int) (total - clicks * pixelsPerWheelClick);

        const int button = clicks > 0 ? buttons[axis][0] : buttons[axis][1];

        for (juce::int64 i = 0; i < std::abs (clicks); ++i)
        {
            fakeButton (true, button);
            fakeButton (false, button);
        }
    }

    return true;
}

bool X11InputPlatform::postKey (const InputEvent& event)
{
    if (! refreshKeymap (false))
        return false;

    // The Caps Lock key posted by its own code turns the lock over, whatever
    // key sits at its place here; the flags of what follows say the rest.
    if (event.keyCode == MacKeyCodes::capsLock)
    {
        followModifiers (event.flags, 0);

        if (event.type == InputEventType::keyDown)
        {
            const bool locked = isCapsLocked();

            if (! ownCapsLock.has_value())
                ownCapsLock = locked;

            lockCaps (! locked);
            postedCapsLock = ! locked;
        }

        return true;
    }

    const auto keycode = keymap->keycodeOfMacKey (event.keyCode);

    if (keycode == 0)
        return false;

    const bool down = event.type == InputEventType::keyDown;
    const auto ownFlag = MacKeyCodes::flagOfModifierKey (event.keyCode);

    // A modifier key posted by its own code is a key of its own from now on.
    if (ownFlag != 0)
    {
        auto held = heldModifiers.find (ownFlag);

        if (held != heldModifiers.end() && held->second == keycode)
            heldModifiers.erase (held);
    }

    followModifiers (event.flags, ownFlag);
    followCapsLock (event.flags);

    if (down)
        pressKeyWithoutRepeat (keycode);
    else if (keysDown.count (keycode) != 0)
        releaseKey (keycode);

    return true;
}

bool X11InputPlatform::postUnicodeKey (char16_t unit, bool down, juce::uint64 flags)
{
    if (unit >= 0xd800 && unit < 0xe000)
        return false;

    if (! refreshKeymap (true))
        return false;

    followModifiers (flags, 0);

    if (! down)
    {
        auto held = heldUnits.find (unit);

        if (held == heldUnits.end())
            return false;

        fakeKey (false, held->second.keycode);

        if (auto* spare = held->second.spare)
        {
            --spare->held;
            spare->lastUseMs = nowMs();
        }

        heldUnits.erase (held);
        return true;
    }

    if (heldUnits.count (unit) != 0)
        postUnicodeKey (unit, false, flags);

    const auto keysym = keysymOfUnit (unit);
    auto* spare = findSpareFor (keysym);
    xcb_keycode_t keycode = spare != nullptr ? spare->keycode : 0;
    bool shifted = false;

    auto isSpare = [this] (int k)
    {
        return std::any_of (spares.begin(), spares.end(), [k] (const SpareKeycode& s) { return s.keycode == k; });
    };

    for (xkb_level_index_t level = 0; keycode == 0 && level < 2; ++level)
    {
        for (int k = keymap->getMinKeycode(); k <= keymap->getMaxKeycode(); ++k)
        {
            const auto sym = keymap->keysymAt ((xcb_keycode_t) k, level);

            if (sym != XKB_KEY_NoSymbol && xkb_keysym_to_utf32 (sym) == unit && ! isSpare (k))
            {
                keycode = (xcb_keycode_t) k;
                shifted = level == 1;
                break;
            }
        }
    }

    if (keycode == 0)
    {
        spare = takeSpare();

        if (spare == nullptr)
            return false;

        setSpareKeysym (*spare, keysym);
        keycode = spare->keycode;
    }

    std::vector<xcb_keycode_t> pressed;

    if (shifted)
        pressed = pressModifiers (EventFlags::shift, 0);

    fakeKey (true, keycode);
    releaseModifiers (pressed);

    if (spare != nullptr)
    {
        ++spare->held;
        spare->lastUseMs = nowMs();
    }

    heldUnits[unit] = { keycode, spare };
    return true;
}

X11InputPlatform::SpareKeycode* X11InputPlatform::findSpareFor (xcb_keysym_t keysym)
{
    for (auto& spare : spares)
        if (spare.keysym == keysym)
            return &spare;

    return nullptr;
}

X11InputPlatform::SpareKeycode* X11InputPlatform::takeSpare()
{
    SpareKeycode* oldest = nullptr;

    for (auto& spare : spares)
    {
        if (spare.held != 0)
            continue;

        if (spare.keysym == 0)
            return &spare;

        if (oldest == nullptr || nowMs() - spare.lastUseMs > nowMs() - oldest->lastUseMs)
            oldest = &spare;
    }

    if (oldest != nullptr)
    {
        // Every spare is in use: take the least recent one, once its last
        // character had time to be looked up.
        const auto age = nowMs() - oldest->lastUseMs;

        if (age < minimumSpareReuseMs)
            std::this_thread::sleep_for (std::chrono::milliseconds (minimumSpareReuseMs - age));
    }

    return oldest;
}

void X11InputPlatform::setSpareKeysym (SpareKeycode& spare, xcb_keysym_t keysym)
{
    std::vector<xcb_keysym_t> syms ((size_t) keysymsPerKeycode, keysym);
    xcb_change_keyboard_mapping (control->get(), 1, spare.keycode, (uint8_t) keysymsPerKeycode, syms.data());
    spare.keysym = keysym;
}

void X11InputPlatform::giveBackSpares (bool all)
{
    for (auto& spare : spares)
    {
        if (spare.keysym == 0 || spare.held != 0)
            continue;

        const auto age = nowMs() - spare.lastUseMs;

        if (age < spareKeycodeHoldMs)
        {
            if (! all)
                continue;

            std::this_thread::sleep_for (std::chrono::milliseconds (spareKeycodeHoldMs - age));
        }

        setSpareKeysym (spare, 0);
    }
}

//==============================================================================
juce::Point<double> X11InputPlatform::getPointerLocation()
{
    auto* c = control->get();
    juce::Point<double> location;

    if (auto* pointer = xcb_query_pointer_reply (c, xcb_query_pointer (c, control->getRoot()), nullptr))
    {
        location = { (double) pointer->root_x, (double) pointer->root_y };
        std::free (pointer);
    }

    return location;
}

bool X11InputPlatform::warpPointer (juce::Point<double> location)
{
    const auto target = location.roundToInt();
    const std::lock_guard<std::mutex> l (warpLock);

    // While a tap reports the pointer, the warp moves it by the distance from
    // where the tap last saw it: the user may have moved it further since,
    // and a warp to a fixed place would erase that motion before the tap
    // could report it. The tap then takes its next delta from the target.
    if (lastReported.has_value() && hasRunningTap())
    {
        const auto offset = target - *lastReported;
        xcb_warp_pointer (control->get(), XCB_NONE, XCB_NONE, 0, 0, 0, 0, (int16_t) offset.x, (int16_t) offset.y);
    }
    else
    {
        xcb_warp_pointer (control->get(), XCB_NONE, control->getRoot(), 0, 0, 0, 0,
                          (int16_t) target.x, (int16_t) target.y);
    }

    if (! control->sync())
        return false;

    ++lastWarp.serial;
    lastWarp.location = target;
    lastReported = target;
    return true;
}

void X11InputPlatform::notePointerReported (juce::Point<double> location)
{
    const std::lock_guard<std::mutex> l (warpLock);
    lastReported = location.roundToInt();
}

X11InputPlatform::Warp X11InputPlatform::getLastWarp() const
{
    const std::lock_guard<std::mutex> l (warpLock);
    return lastWarp;
}

void X11InputPlatform::showCursor()
{
    const std::lock_guard<std::mutex> l (controlLock);
    auto* c = control->get();

    if (! xfixesReady)
    {
        auto* version = xcb_xfixes_query_version_reply (c, xcb_xfixes_query_version (c, 4, 0), nullptr);
        xfixesReady = version != nullptr;
        std::free (version);
    }

    if (xfixesReady)
        xcb_xfixes_show_cursor (c, control->getRoot());

    xcb_flush (c);
}

std::shared_ptr<const KeyboardLayout> X11InputPlatform::getCurrentKeyboardLayout()
{
    std::shared_ptr<const X11Keymap> current;

    {
        const std::lock_guard<std::mutex> l (controlLock);

        if (! refreshKeymap (true))
            return {};

        current = keymap;
    }

    return std::make_shared<X11KeyboardLayout> (std::move (current));
}

void X11InputPlatform::declareUserActivity (const juce::String&)
{
    xcb_force_screen_saver (control->get(), XCB_SCREEN_SAVER_RESET);
    xcb_flush (control->get());
}

bool X11InputPlatform::applyWithholding (bool shouldWithhold)
{
    const std::lock_guard<std::mutex> l (controlLock);
    auto* c = control->get();
    drainEvents();

    if (! shouldWithhold)
    {
        if (grabbed)
        {
            xcb_ungrab_keyboard (c, XCB_CURRENT_TIME);
            xcb_ungrab_pointer (c, XCB_CURRENT_TIME);
            control->sync();
            grabbed = false;
        }

        return false;
    }

    if (grabbed)
        return true;

    auto keyboardCookie = xcb_grab_keyboard (c, 0, grabWindow, XCB_CURRENT_TIME,
                                             XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    auto pointerCookie = xcb_grab_pointer (c, 0, grabWindow, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC,
                                           XCB_NONE, XCB_NONE, XCB_CURRENT_TIME);
    auto* keyboard = xcb_grab_keyboard_reply (c, keyboardCookie, nullptr);
    auto* pointer = xcb_grab_pointer_reply (c, pointerCookie, nullptr);
    const bool keyboardGrabbed = keyboard != nullptr && keyboard->status == XCB_GRAB_STATUS_SUCCESS;
    const bool pointerGrabbed = pointer != nullptr && pointer->status == XCB_GRAB_STATUS_SUCCESS;
    std::free (keyboard);
    std::free (pointer);

    if (keyboardGrabbed && pointerGrabbed)
    {
        grabbed = true;
        grabRefused = false;
        return true;
    }

    // All or nothing: a half grab would leave some input leaking unnoticed.
    if (keyboardGrabbed)
        xcb_ungrab_keyboard (c, XCB_CURRENT_TIME);

    if (pointerGrabbed)
        xcb_ungrab_pointer (c, XCB_CURRENT_TIME);

    xcb_flush (c);

    // Said once for a run of refusals: a drag pushes into the edge many times.
    if (! std::exchange (grabRefused, true))
        DBGOrLog ("X11 input: cannot withhold the input, another program holds it");

    return false;
}
