#pragma once

#include "platform/StatusItem.h"

#include <memory>

/** The status item on an X11 desktop: an icon in the freedesktop system tray
    (XEmbed), through juce::SystemTrayIconComponent, showing the picture scaled
    to the size the tray gives it. A click with any button opens the menu as a
    juce::PopupMenu at the pointer; the menu's title is not shown.

    The icon is shown only when a tray manager owns _NET_SYSTEM_TRAY_S<screen>:
    without one, nothing appears on the desktop (JUCE would leave a stray 1x1
    window at 0,0), the program runs on, and the lack is logged once. Every later
    picture looks for a tray again, so a tray that starts later gets the item.

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

    /** Opens the menu at the pointer, as a click on the icon does. */
    void openMenu();

    /** The X window of the icon (0 while it is not shown). */
    unsigned long getWindowId() const;

    /** The picture last set. */
    juce::Image getImage() const { return image; }

private:
    class TrayIcon;
    std::unique_ptr<TrayIcon> icon;
    juce::Image image;
    juce::String menuTitle;
    std::vector<StatusMenuItem> menuItems;
    bool docked = false;
    bool reportedNoTray = false;
};
