#include "ui/MySystemTrayIconComponent.h"

#include <BinaryData.h>

namespace
{
constexpr int menuBarPictureSize = 36;
}

void MySystemTrayIconComponent::setImage (juce::Image& image)
{
    if (statusItem == nullptr || ! image.isValid())
        return;

    statusItem->setImage (image);
}

void MySystemTrayIconComponent::setMenu (juce::String const& title, std::vector<StatusMenuItem> items)
{
    if (statusItem != nullptr)
        statusItem->setMenu (title, std::move (items));
}

juce::Image MySystemTrayIconComponent::getMenuBarImage (bool active)
{
    auto const picture = active
        ? juce::ImageCache::getFromMemory (BinaryData::temp_binary_data_2, BinaryData::temp_binary_data_2Size)
        : juce::ImageCache::getFromMemory (BinaryData::temp_binary_data_1, BinaryData::temp_binary_data_1Size);

    if (! picture.isValid())
        return {};

    return picture.rescaled (menuBarPictureSize, menuBarPictureSize);
}
