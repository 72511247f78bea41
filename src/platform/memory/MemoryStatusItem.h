#pragma once

#include "platform/StatusItem.h"

/** A status item that only records: the picture and the menu it was given.
    A test picks a menu entry as the user would. Message thread only. */
class MemoryStatusItem : public StatusItem
{
public:
    void setImage (juce::Image const& image) override;
    void setMenu (juce::String const& title, std::vector<StatusMenuItem> items) override;
    bool isShown() const override;

    /** The picture shown; null before the first setImage(). */
    juce::Image getImage() const { return image; }

    /** How many pictures were shown. */
    int getNumImagesSet() const { return imagesSet; }

    juce::String getMenuTitle() const { return menuTitle; }

    /** The texts of the menu's entries, in order. */
    juce::StringArray getMenuTexts() const;

    /** Picks the first entry with this text, as a click on the item and then on
        the entry would. Returns false when there is no menu or no such entry. */
    bool pick (juce::String const& text);

    /** Says whether the item is shown (as a desktop with or without a tray
        would); a change calls onShownChange. */
    void setShown (bool shouldBeShown);

private:
    juce::Image image;
    int imagesSet = 0;
    juce::String menuTitle;
    std::vector<StatusMenuItem> menu;
    bool shown = true;
};
