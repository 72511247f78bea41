#include "ui/MySystemTrayIconComponent.h"

#include <BinaryData.h>
#include <gtest/gtest.h>

TEST (MySystemTrayIconComponent, MenuBarPicturesAreTheEmbeddedBlueAndOliveEmblemsAt36Pixels)
{
    EXPECT_EQ (juce::Array<int> ({ BinaryData::temp_binary_data_1Size, BinaryData::temp_binary_data_2Size,
                                   BinaryData::mac_logo_svgSize, BinaryData::win_logo_svgSize }),
               juce::Array<int> ({ 42784, 44110, 660, 1472 }));

    // Emblem and ground averaged: bluish for the normal picture, olive (red
    // and green alike, over blue) for the active one.
    auto const normal = MySystemTrayIconComponent::getMenuBarImage (false);
    auto const active = MySystemTrayIconComponent::getMenuBarImage (true);
    ASSERT_TRUE (normal.getBounds() == juce::Rectangle<int> (36, 36) && active.getBounds() == normal.getBounds());
    auto average = [] (juce::Image const& image)
    {
        float r = 0, g = 0, b = 0;

        for (int y = 0; y < 36; ++y)
            for (int x = 0; x < 36; ++x)
            {
                auto const c = image.getPixelAt (x, y);
                r += c.getFloatRed() / 1296; g += c.getFloatGreen() / 1296; b += c.getFloatBlue() / 1296;
            }

        return juce::Colour::fromFloatRGBA (r, g, b, 1.0f);
    };
    auto const blue = average (normal), olive = average (active);
    EXPECT_GT (blue.getBlue(), juce::jmax (blue.getRed(), blue.getGreen()) + 15) << blue.toString();
    EXPECT_TRUE (std::abs (olive.getRed() - olive.getGreen()) < 8 && olive.getGreen() > olive.getBlue() + 15) << olive.toString();
}
