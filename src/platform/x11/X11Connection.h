#pragma once

// X11 only: include from the X11 backend's sources alone.

#include <juce_core/juce_core.h>

#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <initializer_list>
#include <utility>

/** One connection of our own to the X server, with the extensions the input
    backend uses set up on demand. Requests on it may come from any thread. */
class X11Connection
{
public:
    /** Opens the display of that name; empty means $DISPLAY. */
    explicit X11Connection (const juce::String& displayName);

    /** xcb_connect, one thread at a time: on the way, libXau builds the name
        of the authority file in a static buffer, so connections opened at the
        same moment by several threads could read each other's half-written
        name. Every X connection of ours is opened through this. */
    static xcb_connection_t* connect (const char* displayName, int* screenNumber);

    /** Interns each name into its atom (XCB_ATOM_NONE when the server gives
        none) with one round trip for all of them. */
    static void internAtoms (xcb_connection_t* connection,
                             std::initializer_list<std::pair<const char*, xcb_atom_t*>> namesAndAtoms);

    ~X11Connection();

    X11Connection (const X11Connection&) = delete;
    X11Connection& operator= (const X11Connection&) = delete;

    /** True while the connection is open and has not failed. */
    bool isOk() const;

    xcb_connection_t* get() const noexcept { return connection; }
    xcb_window_t getRoot() const noexcept { return root; }

    /** The display's default screen (null when the connection failed), and its number. */
    const xcb_screen_t* getScreen() const noexcept { return screen; }
    int getScreenNumber() const noexcept { return screenNumber; }

    /** The root window's size in pixels. */
    int getScreenWidth() const noexcept { return screenWidth; }
    int getScreenHeight() const noexcept { return screenHeight; }
    int getFileDescriptor() const;

    /** Sets XKB up on this connection (once); returns its first event code,
        or -1 when the server has no XKB. */
    int setUpXkb();

    /** Announces XInput 2.2 (once); returns the extension's major opcode, or
        -1 when the server does not offer 2.2 or later. */
    int setUpXInput2();

    bool hasExtension (const char* name);

    /** What this display lacks for capturing and posting input, as the input
        platform and its taps use it: XTEST, XInput 2.2 or later with its raw
        events on the root window, XKB and a keymap it can read. Empty when
        nothing is missing. Sets XInput 2 and XKB up on this connection. */
    juce::StringArray findMissingInputSupport();

    /** Waits until the server has handled every request sent so far. */
    bool sync();

    /** Selects the XInput 2 events of 'mask' (0: none) of 'devices' (all
        master devices unless told otherwise) on the root window; the cookie
        tells whether the server allowed it. */
    xcb_void_cookie_t selectRootInputEvents (uint32_t mask, uint16_t devices = XCB_INPUT_DEVICE_ALL_MASTER);

private:
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    const xcb_screen_t* screen = nullptr;   // in the connection's setup data
    int screenNumber = 0;
    int screenWidth = 0, screenHeight = 0;
    int xkbFirstEvent = -2;
    int xinputOpcode = -2;
};
