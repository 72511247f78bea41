#pragma once

#include "platform/StatusItem.h"

#include <memory>

/** The status item on an X11 desktop: an icon in the freedesktop system tray
    (XEmbed), on an X connection of its own that JUCE's message loop watches.

    The icon is a window of ours that a tray embeds: it tells the tray what it
    needs (its _XEMBED_INFO, and a minimum and base size of 22 x 22 pixels in
    its WM_NORMAL_HINTS), takes whatever size the tray then gives it and paints
    the picture centred at that size. A click with any button opens the menu as
    a juce::PopupMenu at the pointer (a click while it is open closes it); the
    menu's title is not shown.

    From its first picture on, the item watches for trays: when a tray manager
    takes _NET_SYSTEM_TRAY_S<screen> (it says so to every client with a MANAGER
    message on the root window), the icon docks there, also when a tray starts
    after the program or restarts. Without a tray nothing of the item is on the
    desktop; isShown() says so and onShownChange tells of every later change.

    Message thread only.
*/
class X11StatusItem : public StatusItem
{
public:
    X11StatusItem();
    ~X11StatusItem() override;

    void setImage (juce::Image const& image) override;
    void setMenu (juce::String const& title, std::vector<StatusMenuItem> items) override;
    bool isShown() const override;

    /** Opens the menu at the pointer, as a click on the icon does; closes it when it is open. */
    void openMenu();

    /** The X window of the icon (0 while it is not shown). */
    unsigned long getWindowId() const;

    /** The size the tray gave the icon (its requested size until the tray sets one). */
    juce::Rectangle<int> getIconBounds() const;

    /** The picture last set. */
    juce::Image getImage() const { return image; }

    /** The size the icon asks a tray for: its minimum and base size. */
    static constexpr int requestedSize = 22;

    /** The picture is drawn at most this many pixels square, centred in the icon. */
    static constexpr int maximumPictureSize = 128;

private:
    class Tray;
    std::unique_ptr<Tray> tray;
    juce::Image image;
    std::vector<StatusMenuItem> menuItems;
    std::shared_ptr<bool> menuOpen = std::make_shared<bool> (false);   // shared with the open menu's callback
};
