#include "platform/X11Backend.h"
#include "platform/x11/X11Connection.h"

#include <xcb/randr.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace
{
/** A connection of the monitor reader's own. Its round trips must not run on
    JUCE's connection: reading a reply there also reads the events waiting
    behind it into Xlib's queue, where JUCE's message loop, which waits on
    the connection's socket, does not see them until the next event arrives
    (a click would wait for the next move of the pointer). */
struct MonitorConnection
{
    std::mutex lock;
    std::unique_ptr<X11Connection> connection;
    bool hasRandr = false;

    X11Connection* get()
    {
        if (connection == nullptr || ! connection->isOk())
        {
            connection = std::make_unique<X11Connection> (juce::String());
            hasRandr = connection->isOk() && connection->hasExtension ("RANDR");

            // The current resources are RandR 1.3's.
            if (hasRandr)
            {
                auto* c = connection->get();
                auto* version = xcb_randr_query_version_reply (c, xcb_randr_query_version (c, 1, 3), nullptr);
                hasRandr = version != nullptr && (version->major_version > 1 || version->minor_version >= 3);
                std::free (version);
            }
        }

        return connection->isOk() && hasRandr ? connection.get() : nullptr;
    }
};
} // namespace

std::vector<juce::Rectangle<int>> readX11MonitorAreas()
{
    static MonitorConnection shared;
    std::vector<juce::Rectangle<int>> areas;

    const std::lock_guard<std::mutex> guard (shared.lock);
    auto* connection = shared.get();

    if (connection == nullptr)
        return areas;

    auto* c = connection->get();

    // The monitors as the server drives them: each CRTC in use shows a
    // rectangle of the root window, in its pixels. The current resources, as
    // the server has them: asking for fresh ones would make it probe the
    // outputs, which is slow.
    auto* resources = xcb_randr_get_screen_resources_current_reply (
        c, xcb_randr_get_screen_resources_current (c, connection->getRoot()), nullptr);

    if (resources == nullptr)
        return areas;

    auto const* crtcs = xcb_randr_get_screen_resources_current_crtcs (resources);
    int const count = xcb_randr_get_screen_resources_current_crtcs_length (resources);
    std::vector<xcb_randr_get_crtc_info_cookie_t> cookies;

    for (int i = 0; i < count; ++i)
        cookies.push_back (xcb_randr_get_crtc_info (c, crtcs[i], resources->config_timestamp));

    for (auto const& cookie : cookies)
    {
        if (auto* crtc = xcb_randr_get_crtc_info_reply (c, cookie, nullptr))
        {
            if (crtc->mode != XCB_NONE && crtc->width > 0 && crtc->height > 0)
                areas.push_back ({ crtc->x, crtc->y, (int) crtc->width, (int) crtc->height });

            std::free (crtc);
        }
    }

    std::free (resources);
    return areas;
}
