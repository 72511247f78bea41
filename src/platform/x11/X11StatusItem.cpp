#include "platform/x11/X11StatusItem.h"

#include "core/Logging.h"
#include "platform/x11/X11Connection.h"

#include <juce_events/juce_events.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <xcb/xcb.h>

#include <array>
#include <cstdlib>

namespace
{
constexpr uint32_t xembedMapped = 1;                      // _XEMBED_INFO flag: the embedder maps the icon
constexpr uint32_t requestDock = 0;                       // _NET_SYSTEM_TRAY_OPCODE: SYSTEM_TRAY_REQUEST_DOCK
constexpr uint32_t minSizeFlag = 1u << 4, baseSizeFlag = 1u << 8;   // WM_NORMAL_HINTS: PMinSize, PBaseSize

/** One colour component scaled into the bits of a visual's mask. */
uint32_t toMask (uint8_t value, uint32_t mask)
{
    if (mask == 0)
        return 0;

    int shift = 0;

    while (((mask >> shift) & 1u) == 0)
        ++shift;

    auto const maximum = mask >> shift;
    return ((uint32_t) value * maximum / 255u) << shift;
}
} // namespace

//==============================================================================
/** The X side of the item: the connection, the tray manager and the icon window. */
class X11StatusItem::Tray
{
public:
    explicit Tray (X11StatusItem& itemToServe) : item (itemToServe)
    {
        if (! x.isOk())
            return;

        auto* c = x.get();

        if (! findPixelFormat (*x.getScreen()))
        {
            DBGOrLog ("Status item: the screen's pixel format is not one the icon can paint");
            return;
        }

        auto const selectionName = "_NET_SYSTEM_TRAY_S" + juce::String (x.getScreenNumber());
        X11Connection::internAtoms (c, { { selectionName.toRawUTF8(), &selection },
                                         { "_NET_SYSTEM_TRAY_OPCODE", &opcode },
                                         { "MANAGER", &manager },
                                         { "_XEMBED_INFO", &xembedInfo },
                                         { "_NET_WM_NAME", &netWmName },
                                         { "UTF8_STRING", &utf8 } });

        // A tray that starts announces itself on the root window.
        const uint32_t rootMask[] = { XCB_EVENT_MASK_STRUCTURE_NOTIFY };
        xcb_change_window_attributes (c, x.getRoot(), XCB_CW_EVENT_MASK, rootMask);

        gc = xcb_generate_id (c);
        xcb_create_gc (c, gc, x.getRoot(), 0, nullptr);

        juce::LinuxEventLoop::registerFdCallback (x.getFileDescriptor(), [this] (int) { handleEvents(); });
        watching = true;
    }

    ~Tray()
    {
        if (watching)
            juce::LinuxEventLoop::unregisterFdCallback (x.getFileDescriptor());

        if (x.isOk() && icon != 0)
        {
            xcb_destroy_window (x.get(), icon);
            x.sync();
        }
    }

    /** Docks the icon in the tray there is, and in every tray that starts from now on. */
    void start()
    {
        if (started || ! watching)
            return;

        started = true;
        lookForTray();
        handleEvents();   // what arrived while it waited for the server
    }

    bool isDocked() const { return icon != 0; }
    xcb_window_t getIcon() const { return icon; }
    juce::Rectangle<int> getSize() const { return { width, height }; }

    /** Draws the picture centred in the icon, over the tray's background. */
    void paint()
    {
        if (icon == 0 || ! x.isOk())
            return;

        auto* c = x.get();
        xcb_clear_area (c, 0, icon, 0, 0, 0, 0);
        auto const side = juce::jmin (width, height, maximumPictureSize);
        auto const picture = item.getImage();

        if (side > 0 && picture.isValid())
        {
            juce::Image drawn (juce::Image::RGB, side, side, true, juce::SoftwareImageType());
            {
                juce::Graphics g (drawn);
                g.setImageResamplingQuality (juce::Graphics::highResamplingQuality);
                g.drawImage (picture, drawn.getBounds().toFloat(), juce::RectanglePlacement::centred);
            }

            std::vector<uint8_t> bytes ((size_t) side * (size_t) side * 4);
            juce::Image::BitmapData pixels (drawn, juce::Image::BitmapData::readOnly);

            for (int y = 0; y < side; ++y)
            {
                for (int px = 0; px < side; ++px)
                {
                    auto const colour = pixels.getPixelColour (px, y);
                    auto const value = toMask (colour.getRed(), redMask) | toMask (colour.getGreen(), greenMask)
                                     | toMask (colour.getBlue(), blueMask);
                    auto* out = bytes.data() + ((size_t) y * (size_t) side + (size_t) px) * 4;

                    for (int b = 0; b < 4; ++b)
                        out[msbFirst ? 3 - b : b] = (uint8_t) (value >> (8 * b));
                }
            }

            xcb_put_image (c, XCB_IMAGE_FORMAT_Z_PIXMAP, icon, gc, (uint16_t) side, (uint16_t) side,
                           (int16_t) ((width - side) / 2), (int16_t) ((height - side) / 2), 0, depth,
                           (uint32_t) bytes.size(), bytes.data());
        }

        xcb_flush (c);
    }

private:
    X11StatusItem& item;
    X11Connection x { {} };
    bool watching = false, started = false;
    xcb_atom_t selection = 0, opcode = 0, manager = 0, xembedInfo = 0, netWmName = 0, utf8 = 0;
    xcb_gcontext_t gc = 0;
    uint8_t depth = 0;
    uint32_t redMask = 0, greenMask = 0, blueMask = 0;
    bool msbFirst = false;

    xcb_window_t trayManager = 0;   // the tray the icon docked in
    xcb_window_t icon = 0;
    int width = requestedSize, height = requestedSize;
    bool pressed = false;

    /** The icon paints 32-bit TrueColor pixels of the root visual, as every
        usual X server offers them. */
    bool findPixelFormat (xcb_screen_t const& screen)
    {
        auto const* setup = xcb_get_setup (x.get());
        depth = screen.root_depth;
        msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
        bool thirtyTwoBits = false;

        for (auto formats = xcb_setup_pixmap_formats_iterator (setup); formats.rem > 0; xcb_format_next (&formats))
            if (formats.data->depth == depth)
                thirtyTwoBits = formats.data->bits_per_pixel == 32;

        for (auto depths = xcb_screen_allowed_depths_iterator (&screen); depths.rem > 0; xcb_depth_next (&depths))
            for (auto visuals = xcb_depth_visuals_iterator (depths.data); visuals.rem > 0; xcb_visualtype_next (&visuals))
                if (visuals.data->visual_id == screen.root_visual && visuals.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR)
                {
                    redMask = visuals.data->red_mask;
                    greenMask = visuals.data->green_mask;
                    blueMask = visuals.data->blue_mask;
                }

        return thirtyTwoBits && redMask != 0;
    }

    //==============================================================================
    /** Finds the tray manager, watches it, and docks the icon there unless it
        is docked there already. */
    void lookForTray()
    {
        auto* c = x.get();
        xcb_grab_server (c);
        auto* reply = xcb_get_selection_owner_reply (c, xcb_get_selection_owner (c, selection), nullptr);
        xcb_window_t const owner = reply != nullptr ? reply->owner : (xcb_window_t) XCB_WINDOW_NONE;
        std::free (reply);

        // Its end shows as its window's DestroyNotify.
        if (owner != XCB_WINDOW_NONE)
        {
            const uint32_t mask[] = { XCB_EVENT_MASK_STRUCTURE_NOTIFY };
            xcb_change_window_attributes (c, owner, XCB_CW_EVENT_MASK, mask);
        }

        xcb_ungrab_server (c);
        xcb_flush (c);

        if (owner == XCB_WINDOW_NONE || (owner == trayManager && icon != 0))
            return;

        dock (owner);
    }

    /** A fresh icon window, asking the tray to embed it. */
    void dock (xcb_window_t newManager)
    {
        auto* c = x.get();
        undock();
        trayManager = newManager;
        icon = xcb_generate_id (c);
        width = height = requestedSize;

        const uint32_t values[] = { XCB_BACK_PIXMAP_PARENT_RELATIVE,
                                    XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY
                                        | XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE };
        xcb_create_window (c, XCB_COPY_FROM_PARENT, icon, x.getRoot(), 0, 0, (uint16_t) width, (uint16_t) height, 0,
                           XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK, values);

        // What the tray reads: the XEmbed version (0) and that it should map the
        // icon; the icon's smallest and preferred size.
        const uint32_t info[] = { 0, xembedMapped };
        xcb_change_property (c, XCB_PROP_MODE_REPLACE, icon, xembedInfo, xembedInfo, 32, 2, info);

        std::array<uint32_t, 18> hints {};
        hints[0] = minSizeFlag | baseSizeFlag;
        hints[5] = hints[6] = hints[15] = hints[16] = (uint32_t) requestedSize;
        xcb_change_property (c, XCB_PROP_MODE_REPLACE, icon, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32,
                             (uint32_t) hints.size(), hints.data());

        static constexpr char name[] = "Corvelline", windowClass[] = "corvelline\0Corvelline";
        xcb_change_property (c, XCB_PROP_MODE_REPLACE, icon, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, sizeof (name) - 1, name);
        xcb_change_property (c, XCB_PROP_MODE_REPLACE, icon, netWmName, utf8, 8, sizeof (name) - 1, name);
        xcb_change_property (c, XCB_PROP_MODE_REPLACE, icon, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, sizeof (windowClass), windowClass);

        xcb_client_message_event_t request {};
        request.response_type = XCB_CLIENT_MESSAGE;
        request.format = 32;
        request.window = trayManager;
        request.type = opcode;
        request.data.data32[0] = XCB_CURRENT_TIME;
        request.data.data32[1] = requestDock;
        request.data.data32[2] = icon;
        xcb_send_event (c, 0, trayManager, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*> (&request));
        xcb_flush (c);
        DBGOrLog ("Status item: docking in the system tray");
    }

    void undock()
    {
        if (icon != 0)
            xcb_destroy_window (x.get(), icon);

        icon = 0;
        trayManager = 0;
        pressed = false;
        xcb_flush (x.get());
    }

    //==============================================================================
    void handleEvents()
    {
        auto const wasDocked = isDocked();

        while (auto* event = xcb_poll_for_event (x.get()))
        {
            handle (*event);
            std::free (event);
        }

        if (! x.isOk() && watching)
        {
            DBGOrLog ("Status item: the connection to the X server broke; the item is gone");
            juce::LinuxEventLoop::unregisterFdCallback (x.getFileDescriptor());
            watching = false;
            icon = 0;
            trayManager = 0;
        }

        if (wasDocked != isDocked() && item.onShownChange)
            item.onShownChange();
    }

    void handle (xcb_generic_event_t const& event)
    {
        switch (event.response_type & 0x7f)
        {
            case XCB_CLIENT_MESSAGE:
            {
                auto const& message = reinterpret_cast<xcb_client_message_event_t const&> (event);

                // A tray started (or another replaced the one the icon is in).
                if (started && message.type == manager && message.format == 32 && message.data.data32[1] == selection)
                    lookForTray();

                break;
            }

            case XCB_DESTROY_NOTIFY:
                if (reinterpret_cast<xcb_destroy_notify_event_t const&> (event).window == trayManager && trayManager != 0)
                {
                    DBGOrLog ("Status item: the system tray is gone; the icon docks again when a tray starts");
                    undock();
                }

                break;

            case XCB_REPARENT_NOTIFY:
            {
                // A tray that ends hands its icons back to the root window,
                // where they would show as stray windows.
                auto const& reparent = reinterpret_cast<xcb_reparent_notify_event_t const&> (event);

                if (reparent.window == icon && icon != 0 && reparent.parent == x.getRoot())
                {
                    xcb_unmap_window (x.get(), icon);
                    xcb_flush (x.get());
                }

                break;
            }

            case XCB_CONFIGURE_NOTIFY:
            {
                auto const& configure = reinterpret_cast<xcb_configure_notify_event_t const&> (event);

                if (configure.window == icon && icon != 0 && (configure.width != width || configure.height != height))
                {
                    width = configure.width;
                    height = configure.height;
                    paint();
                }

                break;
            }

            case XCB_EXPOSE:
                if (reinterpret_cast<xcb_expose_event_t const&> (event).window == icon
                    && reinterpret_cast<xcb_expose_event_t const&> (event).count == 0)
                    paint();

                break;

            case XCB_BUTTON_PRESS:
                pressed = reinterpret_cast<xcb_button_press_event_t const&> (event).event == icon
                       && reinterpret_cast<xcb_button_press_event_t const&> (event).detail <= 3;
                break;

            case XCB_BUTTON_RELEASE:
                // The menu opens once the button is up, so that releasing it
                // does not pick an entry.
                if (pressed && reinterpret_cast<xcb_button_release_event_t const&> (event).event == icon)
                {
                    pressed = false;
                    item.openMenu();
                }

                break;

            default:
                break;   // errors (a tray that went while the icon talked to it) change nothing
        }
    }
};

//==============================================================================
X11StatusItem::X11StatusItem() : tray (std::make_unique<Tray> (*this)) {}

X11StatusItem::~X11StatusItem()
{
    juce::PopupMenu::dismissAllActiveMenus();
}

void X11StatusItem::setImage (juce::Image const& newImage)
{
    if (! newImage.isValid())
        return;

    image = newImage;

    // The icon goes to the tray with its first picture.
    if (tray->isDocked())
        tray->paint();
    else
        tray->start();
}

void X11StatusItem::setMenu (juce::String const&, std::vector<StatusMenuItem> items)
{
    menuItems = std::move (items);
}

bool X11StatusItem::isShown() const
{
    return tray->isDocked();
}

void X11StatusItem::openMenu()
{
    if (*menuOpen)
    {
        juce::PopupMenu::dismissAllActiveMenus();
        return;
    }

    if (menuItems.empty())
        return;

    juce::PopupMenu menu;

    for (size_t i = 0; i < menuItems.size(); ++i)
        menu.addItem ((int) i + 1, menuItems[i].text);

    // The entries' actions travel with the menu: a new menu may be set while
    // this one is open.
    *menuOpen = true;
    menu.showMenuAsync (juce::PopupMenu::Options().withMousePosition(),
                        [open = menuOpen, items = menuItems] (int chosen)
                        {
                            *open = false;

                            if (chosen >= 1 && chosen <= (int) items.size() && items[(size_t) chosen - 1].onPick)
                                items[(size_t) chosen - 1].onPick();
                        });

    // A menu stays open only while the program has the keyboard focus, and a
    // click on the icon (a window of another connection) gives it none: the
    // menu takes it, as menus of tray icons do.
    if (auto* shown = juce::ModalComponentManager::getInstance()->getModalComponent (0))
        if (auto* peer = shown->getPeer())
            peer->grabFocus();
}

unsigned long X11StatusItem::getWindowId() const
{
    return tray->getIcon();
}

juce::Rectangle<int> X11StatusItem::getIconBounds() const
{
    return tray->getSize();
}
