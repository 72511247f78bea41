#include "platform/memory/MemoryStatusItem.h"

void MemoryStatusItem::setImage (juce::Image const& newImage)
{
    if (! newImage.isValid())
        return;

    image = newImage;
    ++imagesSet;
}

void MemoryStatusItem::setMenu (juce::String const& title, std::vector<StatusMenuItem> items)
{
    menuTitle = title;
    menu = std::move (items);
}

bool MemoryStatusItem::isShown() const
{
    return shown && image.isValid();
}

juce::StringArray MemoryStatusItem::getMenuTexts() const
{
    juce::StringArray texts;

    for (auto& item : menu)
        texts.add (item.text);

    return texts;
}

bool MemoryStatusItem::pick (juce::String const& text)
{
    for (auto& item : menu)
    {
        if (item.text == text)
        {
            // The entry may replace the menu; keep its action alive while it runs.
            auto action = item.onPick;

            if (action)
                action();

            return true;
        }
    }

    return false;
}

void MemoryStatusItem::setShown (bool shouldBeShown)
{
    auto const wasShown = isShown();
    shown = shouldBeShown;

    if (wasShown != isShown() && onShownChange)
        onShownChange();
}
