#pragma once

#include <juce_graphics/juce_graphics.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

/** A freedesktop system tray as desktops have one, on the display DISPLAY
    names: it owns _NET_SYSTEM_TRAY_S0 (and says so with a MANAGER message on
    the root window), shows a strip at the top right of the
    screen, docks every window that asks (reparented, in slots of 24 pixels)
    and keeps each where it put it, as embedding trays do: the icons' own
    requests to move, resize or map are redirected to it. Runs on an X
    connection and a thread of its own. */
class TrayStrip
{
public:
    static constexpr int slot = 24, stripWidth = 200;

    TrayStrip() : c (xcb_connect (nullptr, nullptr))
    {
        if (xcb_connection_has_error (c) != 0)
            return;

        auto* screen = xcb_setup_roots_iterator (xcb_get_setup (c)).data;
        stripX = screen->width_in_pixels - stripWidth;
        strip = xcb_generate_id (c);
        const uint32_t values[] = { 0x336699u, 1u, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT };
        xcb_create_window (c, XCB_COPY_FROM_PARENT, strip, screen->root, (int16_t) stripX, 0, stripWidth, slot, 0,
                           XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                           XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window (c, strip);
        const auto selection = intern ("_NET_SYSTEM_TRAY_S0");
        xcb_set_selection_owner (c, strip, selection, XCB_CURRENT_TIME);
        auto* owner = xcb_get_selection_owner_reply (c, xcb_get_selection_owner (c, selection), nullptr);

        if (owner != nullptr && owner->owner == strip)
        {
            // Tells the clients that wait for a tray that one is there.
            xcb_client_message_event_t manager {};
            manager.response_type = XCB_CLIENT_MESSAGE;
            manager.format = 32;
            manager.window = screen->root;
            manager.type = intern ("MANAGER");
            manager.data.data32[1] = selection;
            manager.data.data32[2] = strip;
            xcb_send_event (c, 0, screen->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*> (&manager));
            xcb_flush (c);
            thread = std::thread ([this, opcode = intern ("_NET_SYSTEM_TRAY_OPCODE")] { serve (opcode); });
        }

        std::free (owner);
    }

    ~TrayStrip()
    {
        stop = true;

        if (thread.joinable())
            thread.join();

        xcb_disconnect (c);
    }

    /** False when it could not take the tray selection. */
    bool isRunning() const { return thread.joinable(); }

    /** The docked windows, in the order they asked. */
    std::vector<xcb_window_t> getIcons() const
    {
        const std::lock_guard<std::mutex> l (lock);
        return icons;
    }

    /** The screen position of the centre of the n-th docked icon. */
    juce::Point<int> getSlotCentre (int index) const { return { stripX + index * slot + slot / 2, slot / 2 }; }

private:
    xcb_connection_t* c;
    int stripX = 0;
    xcb_window_t strip = 0;
    std::thread thread;
    std::atomic<bool> stop { false };
    mutable std::mutex lock;
    std::vector<xcb_window_t> icons;

    xcb_atom_t intern (const char* name)
    {
        auto* r = xcb_intern_atom_reply (c, xcb_intern_atom (c, 0, (uint16_t) std::strlen (name), name), nullptr);
        const xcb_atom_t atom = r != nullptr ? r->atom : (xcb_atom_t) XCB_ATOM_NONE;
        std::free (r);
        return atom;
    }

    void place (xcb_window_t icon, int index)
    {
        const uint32_t geometry[] = { (uint32_t) (index * slot), 0, (uint32_t) slot, (uint32_t) slot };
        xcb_configure_window (c, icon, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                              geometry);
    }

    void serve (xcb_atom_t opcode)
    {
        for (; ! stop; xcb_flush (c))
        {
            while (auto* event = xcb_poll_for_event (c))
            {
                const int type = event->response_type & 0x7f;
                const std::lock_guard<std::mutex> l (lock);

                if (type == XCB_CLIENT_MESSAGE)
                {
                    // SYSTEM_TRAY_REQUEST_DOCK: reparent, place and map the icon.
                    auto* message = reinterpret_cast<xcb_client_message_event_t*> (event);

                    if (message->type == opcode && message->format == 32 && message->data.data32[1] == 0)
                    {
                        const xcb_window_t icon = message->data.data32[2];
                        xcb_reparent_window (c, icon, strip, (int16_t) (icons.size() * slot), 0);
                        place (icon, (int) icons.size());
                        xcb_map_window (c, icon);
                        icons.push_back (icon);
                    }
                }
                else if (type == XCB_CONFIGURE_REQUEST)
                {
                    // An icon may not move or resize itself: it keeps its slot.
                    auto* request = reinterpret_cast<xcb_configure_request_event_t*> (event);
                    auto found = std::find (icons.begin(), icons.end(), request->window);

                    if (found != icons.end())
                        place (request->window, (int) (found - icons.begin()));
                }
                else if (type == XCB_MAP_REQUEST)
                {
                    xcb_map_window (c, reinterpret_cast<xcb_map_request_event_t*> (event)->window);
                }

                std::free (event);
            }

            pollfd fd { xcb_get_file_descriptor (c), POLLIN, 0 };
            poll (&fd, 1, 20);
        }
    }
};
