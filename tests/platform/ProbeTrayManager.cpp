#include "ProbeTrayManager.h"

#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <thread>

namespace
{
constexpr int stripX = 1920 - 200, stripY = 0, stripWidth = 200, stripHeight = ProbeTrayManager::slotSize;
}

class ProbeTrayManager::Worker
{
public:
    Worker()
    {
        connection = xcb_connect (nullptr, nullptr);

        if (xcb_connection_has_error (connection) != 0)
            return;

        auto* screen = xcb_setup_roots_iterator (xcb_get_setup (connection)).data;
        strip = xcb_generate_id (connection);
        uint32_t const values[] = { 0x336699u, 1u, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY };
        xcb_create_window (connection, XCB_COPY_FROM_PARENT, strip, screen->root, stripX, stripY, stripWidth,
                           stripHeight, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                           XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window (connection, strip);

        auto selection = intern ("_NET_SYSTEM_TRAY_S0");
        opcode = intern ("_NET_SYSTEM_TRAY_OPCODE");
        xcb_set_selection_owner (connection, strip, selection, XCB_CURRENT_TIME);

        auto* reply = xcb_get_selection_owner_reply (connection, xcb_get_selection_owner (connection, selection), nullptr);
        running = reply != nullptr && reply->owner == strip;
        std::free (reply);

        if (running)
            thread = std::thread ([this] { loop(); });
    }

    ~Worker()
    {
        stop = true;

        if (thread.joinable())
            thread.join();

        if (connection != nullptr)
            xcb_disconnect (connection);
    }

    bool running = false;

    std::vector<unsigned long> getRequests() const
    {
        std::lock_guard<std::mutex> guard (lock);
        return requests;
    }

private:
    xcb_connection_t* connection = nullptr;
    xcb_window_t strip = 0;
    xcb_atom_t opcode = 0;
    std::thread thread;
    std::atomic<bool> stop { false };
    mutable std::mutex lock;
    std::vector<unsigned long> requests;
    int docked = 0;

    xcb_atom_t intern (const char* name)
    {
        auto* reply = xcb_intern_atom_reply (connection, xcb_intern_atom (connection, 0, (uint16_t) std::strlen (name), name), nullptr);
        auto atom = reply != nullptr ? reply->atom : 0;
        std::free (reply);
        return atom;
    }

    void loop()
    {
        while (! stop)
        {
            while (auto* event = xcb_poll_for_event (connection))
            {
                if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE)
                {
                    auto* message = reinterpret_cast<xcb_client_message_event_t*> (event);

                    if (message->type == opcode && message->format == 32 && message->data.data32[1] == 0)
                        dock (message->data.data32[2]);
                }

                std::free (event);
            }

            xcb_flush (connection);
            pollfd fd { xcb_get_file_descriptor (connection), POLLIN, 0 };
            poll (&fd, 1, 20);
        }
    }

    void dock (xcb_window_t icon)
    {
        int slot;

        {
            std::lock_guard<std::mutex> guard (lock);
            requests.push_back (icon);
            slot = docked++;
        }

        xcb_reparent_window (connection, icon, strip, (int16_t) (slot * slotSize), 0);
        uint32_t const geometry[] = { (uint32_t) slotSize, (uint32_t) slotSize };
        xcb_configure_window (connection, icon, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, geometry);
        xcb_map_window (connection, icon);
        xcb_flush (connection);
    }
};

ProbeTrayManager::ProbeTrayManager() : worker (std::make_unique<Worker>()) {}
ProbeTrayManager::~ProbeTrayManager() = default;

bool ProbeTrayManager::isRunning() const { return worker->running; }

std::vector<unsigned long> ProbeTrayManager::getDockRequests() const { return worker->getRequests(); }

juce::Point<int> ProbeTrayManager::getSlotCentre (int index) const
{
    return { stripX + index * slotSize + slotSize / 2, stripY + slotSize / 2 };
}
