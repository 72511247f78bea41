#pragma once

#include <juce_graphics/juce_graphics.h>

#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <thread>
#include <vector>

/** A minimal freedesktop system tray for tests, on an X connection and a
    thread of its own: it owns _NET_SYSTEM_TRAY_S0, shows a strip at the top
    right of the screen, and docks (reparents, sizes and maps) every window
    that asks to be docked, in slots of 24 pixels. */
class ProbeTrayManager
{
public:
    ProbeTrayManager() : c (xcb_connect (nullptr, nullptr))
    {
        if (xcb_connection_has_error (c) != 0)
            return;

        auto* screen = xcb_setup_roots_iterator (xcb_get_setup (c)).data;
        strip = xcb_generate_id (c);
        const uint32_t values[] = { 0x336699u, 1u, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY };
        xcb_create_window (c, XCB_COPY_FROM_PARENT, strip, screen->root, stripX, 0, 200, slot, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                           screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window (c, strip);
        const auto selection = intern ("_NET_SYSTEM_TRAY_S0");
        xcb_set_selection_owner (c, strip, selection, XCB_CURRENT_TIME);
        auto* owner = xcb_get_selection_owner_reply (c, xcb_get_selection_owner (c, selection), nullptr);

        if (owner != nullptr && owner->owner == strip)
            thread = std::thread ([this, opcode = intern ("_NET_SYSTEM_TRAY_OPCODE")] { serve (opcode); });

        std::free (owner);
    }

    ~ProbeTrayManager()
    {
        stop = true;

        if (thread.joinable())
            thread.join();

        xcb_disconnect (c);
    }

    /** False when it could not take the tray selection. */
    bool isRunning() const { return thread.joinable(); }

    /** The windows that asked to be docked, in order. */
    std::vector<juce::uint32> getDockRequests() const
    {
        const std::lock_guard<std::mutex> l (lock);
        return requests;
    }

    /** The screen position of the centre of the n-th docked icon. */
    juce::Point<int> getSlotCentre (int index) const { return { stripX + index * slot + slot / 2, slot / 2 }; }

private:
    static constexpr int stripX = 1920 - 200, slot = 24;
    xcb_connection_t* c;
    xcb_window_t strip = 0;
    std::thread thread;
    std::atomic<bool> stop { false };
    mutable std::mutex lock;
    std::vector<juce::uint32> requests;

    xcb_atom_t intern (const char* name)
    {
        auto* reply = xcb_intern_atom_reply (c, xcb_intern_atom (c, 0, (uint16_t) std::strlen (name), name), nullptr);
        const auto atom = reply != nullptr ? reply->atom : 0;
        std::free (reply);
        return atom;
    }

    void serve (xcb_atom_t opcode)
    {
        for (; ! stop; xcb_flush (c))
        {
            while (auto* event = xcb_poll_for_event (c))
            {
                auto* message = reinterpret_cast<xcb_client_message_event_t*> (event);

                // SYSTEM_TRAY_REQUEST_DOCK: reparent, size and map the icon.
                if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE && message->type == opcode
                    && message->format == 32 && message->data.data32[1] == 0)
                {
                    const auto icon = message->data.data32[2];
                    const std::lock_guard<std::mutex> l (lock);
                    xcb_reparent_window (c, icon, strip, (int16_t) (requests.size() * slot), 0);
                    const uint32_t size[] = { (uint32_t) slot, (uint32_t) slot };
                    xcb_configure_window (c, icon, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
                    xcb_map_window (c, icon);
                    requests.push_back (icon);
                }

                std::free (event);
            }

            pollfd fd { xcb_get_file_descriptor (c), POLLIN, 0 };
            poll (&fd, 1, 20);
        }
    }
};
