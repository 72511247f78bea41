#pragma once

#include "platform/StatusItem.h"

#include <juce_gui_basics/juce_gui_basics.h>

/** The program's item in the desktop's status area: its picture tells whether
    this machine's own desktop is the one being driven, and its menu
    ("Corvelline": "Show Window", "Quit") is given by the application.

    A thin face over the platform's StatusItem. Message thread only. */
class MySystemTrayIconComponent
{
public:
    MySystemTrayIconComponent() = default;

    /** The status item to show pictures in (not owned); until it is set,
        pictures change nothing. */
    void setStatusItem (StatusItem* item) noexcept { statusItem = item; }

    /** Shows a picture in the item; a null image or no item changes nothing. */
    void setImage (juce::Image& image);

    /** Gives the item its menu. */
    void setMenu (juce::String const& title, std::vector<StatusMenuItem> items);

    /** The normal (blue) or the active (olive) menu-bar picture, 36 x 36. */
    static juce::Image getMenuBarImage (bool active);

private:
    StatusItem* statusItem = nullptr;
};
