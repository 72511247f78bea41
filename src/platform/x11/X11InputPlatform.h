#pragma once

// X11 only: include from the X11 backend's sources alone.

#include "platform/InputPlatform.h"
#include "platform/RecentPosts.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Keymap.h"

#include <list>
#include <map>
#include <set>

/** The input platform of an X server.

    It keeps one connection of its own (the control connection) for posting
    with XTest, warping, the withholding grab, keymap changes and the screen
    saver; every tap opens another one, since raw events do not reach the
    connection that holds a grab.

    Withholding is an active keyboard and pointer grab on a 1x1 input-only
    window of ours outside the screen: while it is held, key, button and wheel
    events (and pointer motion events) go to that window and no other; the
    pointer itself still moves and can be warped. It cannot be had while
    another client holds a grab, the implicit one of a button held down in a
    window (a drag) included.

    The marker: X events carry no user data. Every key, button or motion that
    postEvent sends is remembered (RecentPosts) and a tap reports the matching
    raw event marked.

    Modifiers are held state: the modifier keys that the flags of posted key,
    button and wheel events name are pressed when the flags gain them and
    released when they lose them, before the event itself; moves leave them
    as they are. A modifier the server already has down (held by another
    device) is left alone. Caps Lock follows the alpha shift of the flags of
    posted key and button events, from the first of them on: the lock
    modifier itself is set (XKB lock state, no key event, so a keymap that
    gives the Caps Lock key to another function changes nothing), and the
    desktop's own lock comes back with what posts hold. A Caps Lock key
    posted by its code turns the lock over the same way.

    Key repeat: a key down of a key that posts hold already is one more press
    (a release and a press), and the server does not repeat keys that posts
    hold (their per-key auto-repeat is off while they are held, and restored
    afterwards): the sender's repeats alone make the repeats here.

    Keys and buttons that posted downs left pressed are released on request
    (releaseHeldInput) and when the platform is destroyed. */
class X11InputPlatform : public InputPlatform
{
public:
    /** Use create(). */
    X11InputPlatform (const juce::String& displayName, std::unique_ptr<X11Connection> control);
    ~X11InputPlatform() override;

    static std::unique_ptr<X11InputPlatform> create (const juce::String& displayName);

    //==============================================================================
    std::unique_ptr<EventTap> createEventTap (EventTap::Callback callback) override;
    bool postEvent (const InputEvent& event) override;
    void releaseHeldInput() override;
    juce::Point<double> getPointerLocation() override;
    bool warpPointer (juce::Point<double> location) override;
    void showCursor() override;
    std::shared_ptr<const KeyboardLayout> getCurrentKeyboardLayout() override;
    void declareUserActivity (const juce::String& name) override;

    //==============================================================================
    const juce::String& getDisplayName() const noexcept { return displayName; }
    RecentPosts& getRecentPosts() noexcept { return recentPosts; }

    struct Warp
    {
        juce::uint32 serial = 0;
        juce::Point<int> location;
    };

    /** The last warp; its serial counts the warps made. */
    Warp getLastWarp() const;

    /** The running tap tells where it last saw the pointer, so that a warp
        can move the pointer by the distance from there rather than to a
        fixed place: motion that arrives while the warp is on its way is kept,
        not overwritten. */
    void notePointerReported (juce::Point<double> location);

    /** Reads and handles the events that arrived on the control connection. */
    void drainEvents();

    int getControlFileDescriptor() const { return control->getFileDescriptor(); }

    /** Waits until the server has handled every request sent so far on the
        platform's connection. Callable from any thread. */
    bool syncControl() { return control->sync(); }

    /** Scrolling: one wheel click stands for this many pixels. */
    static constexpr int pixelsPerWheelClick = 10;

    /** How long a spare keycode keeps a character after its last use before
        it is given back (clients look a mapping up only when they need it). */
    static constexpr juce::uint32 spareKeycodeHoldMs = 100;

protected:
    bool applyWithholding (bool shouldWithhold) override;

private:
    struct SpareKeycode
    {
        xcb_keycode_t keycode = 0;
        xcb_keysym_t keysym = 0;   // 0: free
        juce::uint32 lastUseMs = 0;
        int held = 0;
    };

    struct HeldUnit
    {
        xcb_keycode_t keycode;
        SpareKeycode* spare;
    };

    bool refreshKeymap (bool needSymbols);
    void fakeKey (bool press, xcb_keycode_t keycode);
    void fakeButton (bool press, int button);
    void fakeMotion (juce::Point<int> position);
    std::vector<xcb_keycode_t> pressModifiers (juce::uint64 flags, juce::uint64 except);
    void releaseModifiers (const std::vector<xcb_keycode_t>& pressed);
    void followModifiers (juce::uint64 flags, juce::uint64 untouched);
    void followCapsLock (juce::uint64 flags);
    bool isCapsLocked();
    void lockCaps (bool locked);
    void pressKeyWithoutRepeat (xcb_keycode_t keycode);
    void releaseKey (xcb_keycode_t keycode);
    void releaseEverythingHeld();

    bool postKey (const InputEvent& event);
    bool postUnicodeKey (char16_t unit, bool down, juce::uint64 flags);
    bool postButton (const InputEvent& event);
    bool postScroll (const InputEvent& event);

    SpareKeycode* findSpareFor (xcb_keysym_t keysym);
    SpareKeycode* takeSpare();
    void setSpareKeysym (SpareKeycode& spare, xcb_keysym_t keysym);
    void giveBackSpares (bool all);

    const juce::String displayName;
    std::unique_ptr<X11Connection> control;
    int xkbFirstEvent = -1;

    std::mutex controlLock;   // the state below
    std::shared_ptr<const X11Keymap> keymap;
    std::atomic<bool> namesChanged { false }, symbolsChanged { false };
    int keysymsPerKeycode = 1;
    std::list<SpareKeycode> spares;   // a list: heldUnits point into it
    std::map<char16_t, HeldUnit> heldUnits;
    std::set<xcb_keycode_t> keysDown;   // pressed by postEvent, not yet released
    std::set<int> buttonsDown;
    std::map<juce::uint64, xcb_keycode_t> heldModifiers;   // by flag: the modifier keys that flags hold
    std::set<xcb_keycode_t> repeatsToRestore;              // keys held without auto-repeat
    std::optional<bool> postedCapsLock;                    // the alpha shift of the last posted key or button
    std::optional<bool> ownCapsLock;                       // the desktop's lock before posts first set it
    int scrollRemainder[2] = { 0, 0 };
    xcb_window_t grabWindow = 0;
    bool grabbed = false;
    bool grabRefused = false;   // the last attempt to grab failed
    bool xfixesReady = false;

    RecentPosts recentPosts;

    mutable std::mutex warpLock;
    Warp lastWarp;
    std::optional<juce::Point<int>> lastReported;   // where the tap last saw the pointer; warpLock
};
