#include "platform/memory/MemoryStatusItem.h"
#include "ui/MySystemTrayIconComponent.h"

#include <BinaryData.h>
#include <gtest/gtest.h>

TEST (MySystemTrayIconComponent, EmbeddedPicturesAndLogosHaveTheirSizesAndColours)
{
    struct Logo { const char* data; int size, bytes, width, height; bool oneBlackPath; };

    for (auto const& logo : { Logo { BinaryData::mac_logo_svg, BinaryData::mac_logo_svgSize, 660, 814, 1000, true },
                              Logo { BinaryData::win_logo_svg, BinaryData::win_logo_svgSize, 1472, 2490, 2500, false } })
    {
        EXPECT_EQ (logo.size, logo.bytes);
        auto svg = juce::parseXML (juce::String::fromUTF8 (logo.data, logo.size));
        ASSERT_NE (svg, nullptr);
        EXPECT_EQ (svg->getIntAttribute ("width"), logo.width);
        EXPECT_EQ (svg->getIntAttribute ("height"), logo.height);

        if (logo.oneBlackPath)
        {
            ASSERT_EQ (svg->getNumChildElements(), 1);
            EXPECT_TRUE (svg->getChildElement (0)->hasTagName ("path"));
            EXPECT_EQ (svg->getChildElement (0)->getStringAttribute ("fill"), "#000000");
        }

        EXPECT_NE (juce::Drawable::createFromImageData (logo.data, (size_t) logo.size), nullptr);
    }

    EXPECT_EQ (BinaryData::temp_binary_data_1Size, 42784);
    EXPECT_EQ (BinaryData::temp_binary_data_2Size, 44110);

    // The normal emblem is blue, the active one olive.
    for (bool active : { false, true })
    {
        auto const picture = MySystemTrayIconComponent::getMenuBarImage (active);
        ASSERT_EQ (picture.getBounds(), juce::Rectangle<int> (36, 36)) << active;

        juce::Colour darkest (juce::Colours::white);

        for (int y = 0; y < 36; ++y)
            for (int x = 0; x < 36; ++x)
                if (picture.getPixelAt (x, y).getBrightness() < darkest.getBrightness())
                    darkest = picture.getPixelAt (x, y);

        if (active)
            EXPECT_NEAR (darkest.getHue(), juce::Colours::olive.getHue(), 0.05f);
        else
            EXPECT_GT (darkest.getBlue(), 2 * juce::jmax (darkest.getRed(), darkest.getGreen()));
    }
}

TEST (MySystemTrayIconComponent, PicturesReachTheStatusItemOnceItIsSet)
{
    MySystemTrayIconComponent tray;
    auto picture = MySystemTrayIconComponent::getMenuBarImage (true);
    tray.setImage (picture);   // no item yet: nothing

    MemoryStatusItem item;
    tray.setStatusItem (&item);
    juce::Image none;
    tray.setImage (none);
    EXPECT_EQ (item.getNumImagesSet(), 0);

    tray.setImage (picture);
    EXPECT_EQ (item.getNumImagesSet(), 1);
    EXPECT_EQ (item.getImage().getPixelAt (18, 18), picture.getPixelAt (18, 18));
}
