#pragma once

#include <juce_core/juce_core.h>
#include <juce_graphics/juce_graphics.h>

#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/uio.h>
#include <utility>
#include <vector>

/** An independent X client for the tests of the X11 backend and of whole
    machines: a window of its own over the whole screen that records the
    events it receives, pointer queries, and XTest input of its own, which the
    program must count as physical. */
class X11Probe
{
public:
    struct Event
    {
        Event (int t, int d, int s, juce::Point<int> p = {}, juce::int64 m = 0) : type (t), detail (d), state (s), at (p), micros (m) {}

        int type;      // XCB_KEY_PRESS, XCB_KEY_RELEASE, XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE or XCB_MOTION_NOTIFY
        int detail;    // keycode or button
        int state;     // modifier mask when it happened
        juce::Point<int> at;    // motions: where the pointer went
        juce::int64 micros;     // when it was read (CLOCK_MONOTONIC)
    };

    explicit X11Probe (juce::String const& displayName) : c (xcb_connect (displayName.toRawUTF8(), nullptr))
    {
        if (xcb_connection_has_error (c) == 0)
            root = xcb_setup_roots_iterator (xcb_get_setup (c)).data->root;
    }

    ~X11Probe() { xcb_disconnect (c); }

    bool isOk() const { return xcb_connection_has_error (c) == 0 && root != 0; }

    /** Maps a window over the whole screen, named "probe", that takes key and
        button events (and motions, when asked), and gives it the keyboard focus. */
    bool showWindow (bool withMotions = false)
    {
        auto* screen = xcb_setup_roots_iterator (xcb_get_setup (c)).data;
        window = xcb_generate_id (c);
        const uint32_t values[] = { 0x202020u, 1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS
                                                       | XCB_EVENT_MASK_BUTTON_RELEASE | (withMotions ? (uint32_t) XCB_EVENT_MASK_POINTER_MOTION : 0u) };
        xcb_create_window (c, XCB_COPY_FROM_PARENT, window, root, 0, 0, screen->width_in_pixels, screen->height_in_pixels, 0,
                           XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                           XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_change_property (c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 5, "probe");
        xcb_map_window (c, window);   // override-redirect: mapped at once, so it can take the focus
        return focus();
    }

    /** Gives the window the keyboard focus again. */
    bool focus()
    {
        xcb_set_input_focus (c, XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        auto* reply = xcb_get_input_focus_reply (c, xcb_get_input_focus (c), nullptr);
        const bool focused = reply != nullptr && reply->focus == window;
        std::free (reply);
        pump();
        return focused;
    }

    xcb_window_t getWindow() const { return window; }
    int getFileDescriptor() const  { return xcb_get_file_descriptor (c); }

    /** Events as text: "K38/1" a press of keycode 38 in modifier state 1, "k"
        a release, "B" and "b" the same for buttons, "M10,20" a motion. */
    static juce::String describe (std::vector<Event> const& events)
    {
        juce::StringArray texts;

        for (auto const& e : events)
            texts.add (e.type == XCB_MOTION_NOTIFY ? "M" + juce::String (e.at.x) + "," + juce::String (e.at.y)
                                                   : juce::String::charToString ("KkBb"[e.type - XCB_KEY_PRESS]) + juce::String (e.detail)
                                                         + "/" + juce::String (e.state));

        return texts.joinIntoString (" ");
    }

    /** What arrived at the window, once 'count' events did (at most 5 s) or,
        with no count, after a short while; forgets it. */
    std::vector<Event> take (size_t count = 0)
    {
        sync();

        if (count == 0)
        {
            juce::Thread::sleep (150);
            sync();
        }

        for (auto deadline = juce::Time::getMillisecondCounter() + 5000;
             received.size() < count && juce::Time::getMillisecondCounter() < deadline; pump())
        {
            pollfd p { xcb_get_file_descriptor (c), POLLIN, 0 };
            poll (&p, 1, 10);
        }

        return std::exchange (received, {});
    }

    /** What arrived until the server handled everything sent; forgets it. */
    std::vector<Event> takeNow()
    {
        sync();
        return std::exchange (received, {});
    }

    juce::Point<int> getPointer()
    {
        auto* reply = xcb_query_pointer_reply (c, xcb_query_pointer (c, root), nullptr);
        juce::Point<int> result = reply != nullptr ? juce::Point<int> (reply->root_x, reply->root_y) : juce::Point<int>();
        std::free (reply);
        return result;
    }

    /** The screen's pixels in 'area' (root coordinates), as any client sees
        them; a null image when the server gives none. Reads the 32-bit pixels
        (blue, green, red, unused) of a 24-bit screen, as Xvfb's are. */
    juce::Image capture (juce::Rectangle<int> area)
    {
        auto* r = xcb_get_image_reply (c, xcb_get_image (c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, (int16_t) area.getX(), (int16_t) area.getY(),
                                                         (uint16_t) area.getWidth(), (uint16_t) area.getHeight(), ~0u), nullptr);
        juce::Image image;

        if (r != nullptr && ! area.isEmpty() && xcb_get_image_data_length (r) >= area.getWidth() * area.getHeight() * 4)
        {
            image = juce::Image (juce::Image::RGB, area.getWidth(), area.getHeight(), false, juce::SoftwareImageType());
            juce::Image::BitmapData pixels (image, juce::Image::BitmapData::writeOnly);
            auto const* data = xcb_get_image_data (r);

            for (int y = 0; y < area.getHeight(); ++y)
                for (int x = 0; x < area.getWidth(); ++x)
                {
                    auto const* p = data + (y * area.getWidth() + x) * 4;
                    pixels.setPixelColour (x, y, juce::Colour (p[2], p[1], p[0]));
                }
        }

        std::free (r);
        pump();
        return image;
    }

    void key (int keycode, bool down)   { fake (down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode); }
    void button (int number, bool down) { fake (down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, number); }
    void moveTo (juce::Point<int> p)    { fake (XCB_MOTION_NOTIFY, 0, p); }
    void moveBy (juce::Point<int> d)    { fake (XCB_MOTION_NOTIFY, 1, d); }

    /** Warps the pointer as another program would: no input event comes of it. */
    void warpTo (juce::Point<int> p)
    {
        xcb_warp_pointer (c, XCB_NONE, root, 0, 0, 0, 0, (int16_t) p.x, (int16_t) p.y);
        sync();
    }

    /** Waits until the server has handled everything sent. */
    void sync()
    {
        std::free (xcb_get_input_focus_reply (c, xcb_get_input_focus (c), nullptr));
        pump();
    }

    /** The first keysym of a keycode in the server's core keymap now. */
    juce::uint32 keysymOf (int keycode)
    {
        auto* reply = xcb_get_keyboard_mapping_reply (c, xcb_get_keyboard_mapping (c, (uint8_t) keycode, 1), nullptr);
        juce::uint32 keysym = reply != nullptr && xcb_get_keyboard_mapping_keysyms_length (reply) > 0
                                ? xcb_get_keyboard_mapping_keysyms (reply)[0] : 0;
        std::free (reply);
        return keysym;
    }

    /** True when the server repeats that key while it is held. */
    bool autoRepeats (int keycode)
    {
        auto* reply = xcb_get_keyboard_control_reply (c, xcb_get_keyboard_control (c), nullptr);
        const bool on = reply != nullptr && reply->global_auto_repeat != 0
                     && (reply->auto_repeats[keycode / 8] & (1u << (keycode % 8))) != 0;
        std::free (reply);
        return on;
    }

    /** Milliseconds since the last user input (MIT-SCREEN-SAVER QueryInfo). */
    juce::int64 getIdleMs() { return extensionReplyWord ("MIT-SCREEN-SAVER", 1, root, 16); }

    /** The number of clients connected to the server (X-Resource QueryClients). */
    int countClients() { return (int) extensionReplyWord ("X-Resource", 1, 0, 8); }

    /** Holds the keyboard with an active grab of this client. */
    bool grabKeyboard()
    {
        auto* reply = xcb_grab_keyboard_reply (c, xcb_grab_keyboard (c, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC,
                                                                     XCB_GRAB_MODE_ASYNC), nullptr);
        const bool ok = reply != nullptr && reply->status == XCB_GRAB_STATUS_SUCCESS;
        std::free (reply);
        return ok;
    }

    /** Reads the events that arrived, without waiting. */
    void pump()
    {
        while (auto* e = xcb_poll_for_event (c))
        {
            const int type = e->response_type & 0x7f;
            timespec now {};
            clock_gettime (CLOCK_MONOTONIC, &now);
            const auto micros = (juce::int64) now.tv_sec * 1000000 + now.tv_nsec / 1000;

            if (type >= XCB_KEY_PRESS && type <= XCB_MOTION_NOTIFY)
            {
                auto* k = reinterpret_cast<xcb_key_press_event_t*> (e);   // the same layout for all five
                received.emplace_back (type, type == XCB_MOTION_NOTIFY ? 0 : k->detail, k->state, juce::Point<int> (k->root_x, k->root_y), micros);
            }

            std::free (e);
        }
    }

private:
    xcb_connection_t* c;
    xcb_window_t root = 0, window = 0;
    std::vector<Event> received;

    void fake (uint8_t type, int detail, juce::Point<int> p = {})
    {
        xcb_test_fake_input (c, type, (uint8_t) detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY && detail == 0 ? root : XCB_NONE,
                             (int16_t) p.x, (int16_t) p.y, 0);
        sync();
    }

    // Sends a request of an extension this client has no binding for, with
    // at most one word of arguments, and reads a 32-bit word of its reply;
    // -1 when the extension is missing.
    juce::int64 extensionReplyWord (const char* name, uint8_t minor, uint32_t argument, size_t offset)
    {
        auto* extension = xcb_query_extension_reply (c, xcb_query_extension (c, (uint16_t) std::strlen (name), name), nullptr);
        const uint8_t opcode = extension != nullptr && extension->present ? extension->major_opcode : 0;
        std::free (extension);

        if (opcode == 0)
            return -1;

        const uint16_t length = argument != 0 ? 2 : 1;
        uint32_t request[2] = { (uint32_t) opcode | (uint32_t) minor << 8 | (uint32_t) length << 16, argument };
        iovec parts[3] {};   // xcb_send_request needs two in front of the request
        parts[2] = { request, length * sizeof (uint32_t) };
        xcb_protocol_request_t protocol { 1, nullptr, 0, 0 };
        xcb_generic_error_t* error = nullptr;
        auto* reply = static_cast<uint8_t*> (xcb_wait_for_reply (c, xcb_send_request (c, XCB_REQUEST_RAW, parts + 2, &protocol), &error));
        std::free (error);
        juce::int64 word = -1;

        if (reply != nullptr)
        {
            uint32_t value = 0;
            std::memcpy (&value, reply + offset, sizeof (value));
            word = value;
        }

        std::free (reply);
        return word;
    }
};
