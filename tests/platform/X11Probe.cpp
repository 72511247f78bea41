#include "platform/X11Probe.h"

#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/uio.h>

struct X11Probe::Impl
{
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    xcb_window_t window = 0;
    std::vector<Event> received;

    void take (xcb_generic_event_t* e)
    {
        const auto type = e->response_type & 0x7f;

        if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE || type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE)
        {
            auto* k = reinterpret_cast<xcb_key_press_event_t*> (e);
            received.push_back ({ type, k->detail, k->state });
        }

        std::free (e);
    }

    void pump()
    {
        while (auto* e = xcb_poll_for_event (connection))
            take (e);
    }
};

X11Probe::X11Probe (const juce::String& displayName) : impl (std::make_unique<Impl>())
{
    impl->connection = xcb_connect (displayName.toRawUTF8(), nullptr);

    if (xcb_connection_has_error (impl->connection) == 0)
        impl->root = xcb_setup_roots_iterator (xcb_get_setup (impl->connection)).data->root;
}

X11Probe::~X11Probe()
{
    xcb_disconnect (impl->connection);
}

bool X11Probe::isOk() const
{
    return xcb_connection_has_error (impl->connection) == 0 && impl->root != 0;
}

bool X11Probe::showWindow()
{
    auto* c = impl->connection;
    impl->window = xcb_generate_id (c);
    const uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_BUTTON_PRESS
                        | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    const uint32_t values[] = { 1, mask };
    xcb_create_window (c, XCB_COPY_FROM_PARENT, impl->window, impl->root, 0, 0, 1920, 1080, 0,
                       XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                       XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window (c, impl->window);
    xcb_flush (c);

    const auto deadline = juce::Time::getMillisecondCounter() + 5000;
    bool mapped = false;

    while (! mapped && juce::Time::getMillisecondCounter() < deadline)
    {
        if (auto* e = xcb_poll_for_event (c))
        {
            mapped = (e->response_type & 0x7f) == XCB_MAP_NOTIFY;
            impl->take (e);
            continue;
        }

        juce::Thread::sleep (5);
    }

    xcb_set_input_focus (c, XCB_INPUT_FOCUS_POINTER_ROOT, impl->window, XCB_CURRENT_TIME);
    sync();
    impl->received.clear();
    return mapped;
}

std::vector<X11Probe::Event> X11Probe::waitForEvents (size_t count, int timeoutMs)
{
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    impl->pump();

    while (impl->received.size() < count && juce::Time::getMillisecondCounter() < deadline)
    {
        pollfd p { xcb_get_file_descriptor (impl->connection), POLLIN, 0 };
        poll (&p, 1, 10);
        impl->pump();
    }

    auto events = impl->received;
    impl->received.clear();
    return events;
}

std::vector<X11Probe::Event> X11Probe::collectEvents (int settleMs)
{
    sync();
    juce::Thread::sleep (settleMs);
    sync();
    impl->pump();
    auto events = impl->received;
    impl->received.clear();
    return events;
}

juce::Point<int> X11Probe::getPointer()
{
    auto* c = impl->connection;
    juce::Point<int> result;

    if (auto* reply = xcb_query_pointer_reply (c, xcb_query_pointer (c, impl->root), nullptr))
    {
        result = { reply->root_x, reply->root_y };
        std::free (reply);
    }

    return result;
}

void X11Probe::key (int keycode, bool down)
{
    xcb_test_fake_input (impl->connection, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, (uint8_t) keycode,
                         XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    sync();
}

void X11Probe::button (int number, bool down)
{
    xcb_test_fake_input (impl->connection, down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, (uint8_t) number,
                         XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    sync();
}

void X11Probe::moveTo (juce::Point<int> position)
{
    xcb_test_fake_input (impl->connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, impl->root,
                         (int16_t) position.x, (int16_t) position.y, 0);
    sync();
}

void X11Probe::sync()
{
    auto* c = impl->connection;
    std::free (xcb_get_input_focus_reply (c, xcb_get_input_focus (c), nullptr));
    impl->pump();
}

juce::uint32 X11Probe::keysymOf (int keycode)
{
    auto* c = impl->connection;
    juce::uint32 keysym = 0;

    if (auto* reply = xcb_get_keyboard_mapping_reply (c, xcb_get_keyboard_mapping (c, (uint8_t) keycode, 1), nullptr))
    {
        if (xcb_get_keyboard_mapping_keysyms_length (reply) > 0)
            keysym = xcb_get_keyboard_mapping_keysyms (reply)[0];

        std::free (reply);
    }

    return keysym;
}

namespace
{
// Sends a request of an extension this client has no binding for; returns
// the reply (to be freed) or null.
uint8_t* rawExtensionRequest (xcb_connection_t* c, const char* name, uint8_t minor,
                              const uint32_t* words, uint16_t wordCount)
{
    auto* extension = xcb_query_extension_reply (c, xcb_query_extension (c, (uint16_t) std::strlen (name), name), nullptr);

    if (extension == nullptr || extension->present == 0)
    {
        std::free (extension);
        return nullptr;
    }

    std::vector<uint32_t> request (1 + (size_t) wordCount);
    auto* header = reinterpret_cast<uint8_t*> (request.data());
    header[0] = extension->major_opcode;
    header[1] = minor;
    const auto length = (uint16_t) request.size();
    std::memcpy (header + 2, &length, sizeof (length));
    if (wordCount > 0)
        std::memcpy (request.data() + 1, words, wordCount * sizeof (uint32_t));
    std::free (extension);

    iovec parts[3] {};
    parts[2].iov_base = request.data();
    parts[2].iov_len = request.size() * sizeof (uint32_t);
    xcb_protocol_request_t protocol { 1, nullptr, 0, 0 };
    const auto sequence = xcb_send_request (c, XCB_REQUEST_RAW, parts + 2, &protocol);

    xcb_generic_error_t* error = nullptr;
    auto* reply = static_cast<uint8_t*> (xcb_wait_for_reply (c, sequence, &error));
    std::free (error);
    return reply;
}
} // namespace

juce::int64 X11Probe::getIdleMs()
{
    // MIT-SCREEN-SAVER QueryInfo on the root window; the idle time is at byte 16.
    const uint32_t drawable = impl->root;
    auto* reply = rawExtensionRequest (impl->connection, "MIT-SCREEN-SAVER", 1, &drawable, 1);

    if (reply == nullptr)
        return -1;

    uint32_t idle = 0;
    std::memcpy (&idle, reply + 16, sizeof (idle));
    std::free (reply);
    return idle;
}

bool X11Probe::grabKeyboard()
{
    auto* c = impl->connection;
    auto* reply = xcb_grab_keyboard_reply (c, xcb_grab_keyboard (c, 0, impl->root, XCB_CURRENT_TIME,
                                                                 XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr);
    const bool ok = reply != nullptr && reply->status == XCB_GRAB_STATUS_SUCCESS;
    std::free (reply);
    return ok;
}

int X11Probe::countClients()
{
    // X-Resource QueryClients; the number of clients is at byte 8.
    auto* reply = rawExtensionRequest (impl->connection, "X-Resource", 1, nullptr, 0);

    if (reply == nullptr)
        return -1;

    uint32_t clients = 0;
    std::memcpy (&clients, reply + 8, sizeof (clients));
    std::free (reply);
    return (int) clients;
}
