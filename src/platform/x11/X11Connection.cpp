#include "platform/x11/X11Connection.h"

#include "platform/x11/X11Keymap.h"

#include <xcb/xinput.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

X11Connection::X11Connection (const juce::String& displayName)
{
    connection = connect (displayName.isEmpty() ? nullptr : displayName.toRawUTF8(), &screenNumber);

    if (xcb_connection_has_error (connection) != 0)
        return;

    auto screens = xcb_setup_roots_iterator (xcb_get_setup (connection));

    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next (&screens);

    if (screens.rem > 0)
    {
        screen = screens.data;
        root = screen->root;
        screenWidth = screen->width_in_pixels;
        screenHeight = screen->height_in_pixels;
    }
}

xcb_connection_t* X11Connection::connect (const char* displayName, int* screenNumber)
{
    static std::mutex connecting;
    const std::lock_guard<std::mutex> sl (connecting);
    return xcb_connect (displayName, screenNumber);
}

void X11Connection::internAtoms (xcb_connection_t* c, std::initializer_list<std::pair<const char*, xcb_atom_t*>> namesAndAtoms)
{
    std::vector<xcb_intern_atom_cookie_t> cookies;
    cookies.reserve (namesAndAtoms.size());

    for (auto const& entry : namesAndAtoms)
        cookies.push_back (xcb_intern_atom (c, 0, (uint16_t) std::strlen (entry.first), entry.first));

    auto cookie = cookies.begin();

    for (auto const& entry : namesAndAtoms)
    {
        auto* reply = xcb_intern_atom_reply (c, *cookie++, nullptr);
        *entry.second = reply != nullptr ? reply->atom : (xcb_atom_t) XCB_ATOM_NONE;
        std::free (reply);
    }
}

X11Connection::~X11Connection()
{
    // xcb_connect never returns null: even a failed connection is freed here.
    xcb_disconnect (connection);
}

bool X11Connection::isOk() const
{
    return xcb_connection_has_error (connection) == 0 && root != 0;
}

int X11Connection::getFileDescriptor() const
{
    return xcb_get_file_descriptor (connection);
}

int X11Connection::setUpXkb()
{
    if (xkbFirstEvent == -2)
    {
        xkbFirstEvent = -1;
        uint8_t firstEvent = 0;

        if (isOk()
            && xkb_x11_setup_xkb_extension (connection, XKB_X11_MIN_MAJOR_XKB_VERSION,
                                            XKB_X11_MIN_MINOR_XKB_VERSION,
                                            XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS,
                                            nullptr, nullptr, &firstEvent, nullptr) == 1)
            xkbFirstEvent = firstEvent;
    }

    return xkbFirstEvent;
}

int X11Connection::setUpXInput2()
{
    if (xinputOpcode == -2)
    {
        xinputOpcode = -1;

        if (! isOk())
            return xinputOpcode;

        auto* extension = xcb_get_extension_data (connection, &xcb_input_id);

        if (extension == nullptr || extension->present == 0)
            return xinputOpcode;

        auto* version = xcb_input_xi_query_version_reply (
            connection, xcb_input_xi_query_version (connection, 2, 2), nullptr);

        if (version != nullptr
            && (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 2)))
            xinputOpcode = extension->major_opcode;

        std::free (version);
    }

    return xinputOpcode;
}

bool X11Connection::hasExtension (const char* name)
{
    if (! isOk())
        return false;

    auto* reply = xcb_query_extension_reply (
        connection, xcb_query_extension (connection, (uint16_t) std::strlen (name), name), nullptr);
    const bool present = reply != nullptr && reply->present != 0;
    std::free (reply);
    return present;
}

bool X11Connection::sync()
{
    if (! isOk())
        return false;

    auto* reply = xcb_get_input_focus_reply (connection, xcb_get_input_focus (connection), nullptr);
    std::free (reply);
    return reply != nullptr;
}

xcb_void_cookie_t X11Connection::selectRootInputEvents (uint32_t eventMask, uint16_t devices)
{
    struct
    {
        xcb_input_event_mask_t head;
        uint32_t mask;
    } mask {};

    mask.head.deviceid = devices;
    mask.head.mask_len = 1;
    mask.mask = eventMask;
    return xcb_input_xi_select_events_checked (connection, root, 1, &mask.head);
}

juce::StringArray X11Connection::findMissingInputSupport()
{
    juce::StringArray missing;

    if (! isOk())
        return { "an X display" };

    auto* xtest = xcb_get_extension_data (connection, &xcb_test_id);

    if (xtest == nullptr || xtest->present == 0)
        missing.add ("the XTEST extension");

    if (setUpXInput2() < 0)
    {
        missing.add ("XInput 2.2 or later");
    }
    else
    {
        // The taps select raw events on the root window: make sure the server lets us.
        auto* error = xcb_request_check (connection, selectRootInputEvents (XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS));
        xcb_discard_reply (connection, selectRootInputEvents (0).sequence);

        if (error != nullptr)
            missing.add ("the input events of the root window");

        std::free (error);
    }

    if (setUpXkb() < 0)
        missing.add ("the XKEYBOARD extension");
    else if (X11Keymap::load (connection) == nullptr)
        missing.add ("a keyboard map it can read");

    return missing;
}
