#include "platform/x11/X11Connection.h"

#include <xcb/xinput.h>
#include <xkbcommon/xkbcommon-x11.h>

#include <cstdlib>
#include <cstring>

X11Connection::X11Connection (const juce::String& displayName)
{
    int screenNumber = 0;
    connection = xcb_connect (displayName.isEmpty() ? nullptr : displayName.toRawUTF8(), &screenNumber);

    if (xcb_connection_has_error (connection) != 0)
        return;

    auto screens = xcb_setup_roots_iterator (xcb_get_setup (connection));

    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next (&screens);

    if (screens.rem > 0)
    {
        root = screens.data->root;
        screenWidth = screens.data->width_in_pixels;
        screenHeight = screens.data->height_in_pixels;
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
