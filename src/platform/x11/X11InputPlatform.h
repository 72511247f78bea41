#pragma once

// X11 only: include from the X11 backend's sources alone.

#include "platform/InputPlatform.h"
#include "platform/RecentPosts.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Keymap.h"

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
    pointer itself still moves and can be warped.

    The marker: X events carry no user data. Every key, button or motion that
    postEvent sends is remembered for a second (RecentPosts) and a tap reports
    the matching raw event marked.

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

    /** Reads and handles the events that arrived on the control connection. */
    void drainEvents();

    int getControlFileDescriptor() const { return control->getFileDescriptor(); }

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
    void releaseEverythingHeld();

    bool postKey (const InputEvent& event);
    bool postUnicodeKey (char16_t unit, bool down);
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
    std::vector<SpareKeycode> spares;
    std::map<char16_t, HeldUnit> heldUnits;
    std::set<xcb_keycode_t> keysDown;   // pressed by postEvent, not yet released
    std::set<int> buttonsDown;
    int scrollRemainder[2] = { 0, 0 };
    xcb_window_t grabWindow = 0;
    bool grabbed = false;
    bool xfixesReady = false;

    RecentPosts recentPosts;

    mutable std::mutex warpLock;
    Warp lastWarp;
};
