#pragma once

#include <juce_graphics/juce_graphics.h>

#include <functional>
#include <vector>

/** One entry of the status item's menu. */
struct StatusMenuItem
{
    juce::String text;
    std::function<void()> onPick; ///< runs on the message thread when the user picks the entry
};

/** The program's item in the desktop's status area (the system tray), with a
    picture and a menu that a click on the picture opens.

    Used on the message thread only.
*/
class StatusItem
{
public:
    virtual ~StatusItem() = default;

    /** Shows the picture. A null image changes nothing. */
    virtual void setImage (juce::Image const& image) = 0;

    /** Gives the item its menu: a title and its entries, in order. */
    virtual void setMenu (juce::String const& title, std::vector<StatusMenuItem> items) = 0;

    /** True when the desktop shows the item. */
    virtual bool isShown() const = 0;

    /** Called whenever isShown() changes (a tray appears, goes or is replaced);
        on the message thread. */
    std::function<void()> onShownChange;
};
