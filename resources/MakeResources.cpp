// Draws the program's embedded pictures into the folder given as the only
// argument: the two system logos of the layout view's tiles (SVG) and the
// two menu-bar pictures (JPEG). Every file is padded to its fixed size (an
// XML comment, a JPEG comment segment), so a rebuild of the pictures keeps
// the program's resource sizes.
//
// Run by resources/make-resources.sh; its output is committed.

#include <juce_graphics/juce_graphics.h>

#include <iostream>

namespace
{
constexpr int macLogoBytes = 660;
constexpr int winLogoBytes = 1472;
constexpr int normalPictureBytes = 42784;
constexpr int activePictureBytes = 44110;
constexpr int pictureSize = 512;

bool fail (juce::String const& message)
{
    std::cerr << "make-resources: " << message << std::endl;
    return false;
}

/** An SVG document of the given size holding 'content', padded to 'bytes' with
    a comment before its end. */
bool writeSvg (juce::File const& file, int width, int height, juce::String const& content, int bytes)
{
    auto const head = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + juce::String (width) + "\" height=\""
                    + juce::String (height) + "\" viewBox=\"0 0 " + juce::String (width) + " " + juce::String (height)
                    + "\">" + content;
    auto const tail = juce::String ("</svg>\n");
    auto const padding = bytes - (int) head.getNumBytesAsUTF8() - (int) tail.getNumBytesAsUTF8() - 7;   // "<!--" + "-->"

    if (padding < 0)
        return fail (file.getFileName() + " is " + juce::String (-padding) + " bytes too long");

    return file.replaceWithText (head + "<!--" + juce::String::repeatedString (" ", padding) + "-->" + tail, false, false, "\n")
        || fail ("cannot write " + file.getFullPathName());
}

/** An apple-like fruit with a bite and a leaf, as one black path. */
juce::String macLogo()
{
    return "<path fill=\"#000000\" d=\""
           "M407 292C330 236 170 226 92 330C14 434 6 604 62 738C112 858 196 960 288 960"
           "C346 960 362 932 407 932C452 932 468 960 526 960C618 960 700 872 752 764"
           "C690 724 642 654 642 580C642 508 684 452 744 420C696 300 560 236 407 292Z"
           "M407 262C398 174 452 92 562 58C570 156 512 244 407 262Z\"/>";
}

/** A window of four panes. */
juce::String winLogo()
{
    juce::String panes;

    for (auto const& pane : { juce::Rectangle<int> (0, 0, 1180, 1185), juce::Rectangle<int> (1310, 0, 1180, 1185),
                              juce::Rectangle<int> (0, 1315, 1180, 1185), juce::Rectangle<int> (1310, 1315, 1180, 1185) })
        panes << "<rect x=\"" << pane.getX() << "\" y=\"" << pane.getY() << "\" width=\"" << pane.getWidth()
              << "\" height=\"" << pane.getHeight() << "\" rx=\"60\" fill=\"#2F6FD0\"/>";

    return panes;
}

/** The program's emblem: two screens side by side on a light ground, the
    pointer crossing from one to the other, a keyboard beneath. */
juce::Image drawEmblem (juce::Colour foreground)
{
    juce::Image image (juce::Image::RGB, pictureSize, pictureSize, true);
    juce::Graphics g (image);
    g.fillAll (juce::Colour (0xfff4f4f0));
    g.setColour (foreground);

    for (auto left : { 36.0f, 276.0f })
    {
        g.drawRoundedRectangle ({ left, 96.0f, 200.0f, 150.0f }, 18.0f, 20.0f);
        g.fillRect (juce::Rectangle<float> (left + 84.0f, 246.0f, 32.0f, 40.0f));
        g.fillRoundedRectangle ({ left + 50.0f, 284.0f, 100.0f, 16.0f }, 8.0f);
    }

    // The pointer, tip up and to the left, between the screens.
    juce::Path pointer;
    pointer.startNewSubPath (232.0f, 128.0f);
    pointer.lineTo (232.0f, 226.0f);
    pointer.lineTo (254.0f, 204.0f);
    pointer.lineTo (270.0f, 240.0f);
    pointer.lineTo (288.0f, 232.0f);
    pointer.lineTo (272.0f, 196.0f);
    pointer.lineTo (302.0f, 196.0f);
    pointer.closeSubPath();
    g.setColour (juce::Colour (0xfff4f4f0));
    g.strokePath (pointer, juce::PathStrokeType (16.0f, juce::PathStrokeType::curved));
    g.setColour (foreground);
    g.fillPath (pointer);

    // The keyboard.
    juce::Rectangle<float> const keyboard (76.0f, 344.0f, 360.0f, 110.0f);
    g.drawRoundedRectangle (keyboard, 16.0f, 14.0f);

    for (int row = 0; row < 2; ++row)
        for (int key = 0; key < 8; ++key)
            g.fillRoundedRectangle ({ keyboard.getX() + 26.0f + 40.0f * (float) key, keyboard.getY() + 22.0f + 34.0f * (float) row,
                                      28.0f, 24.0f }, 5.0f);

    g.fillRoundedRectangle ({ keyboard.getX() + 106.0f, keyboard.getBottom() - 28.0f, 148.0f, 14.0f }, 5.0f);
    return image;
}

/** The picture as a JPEG of exactly 'bytes' bytes: encoded at the best quality
    that leaves room, then padded with a comment segment after the start marker. */
bool writeJpeg (juce::File const& file, juce::Image const& image, int bytes)
{
    for (int quality = 95; quality >= 50; --quality)
    {
        juce::MemoryOutputStream encoded;
        juce::JPEGImageFormat format;
        format.setQuality ((float) quality / 100.0f);

        if (! format.writeImageToStream (image, encoded))
            return fail ("cannot encode " + file.getFileName());

        auto const room = bytes - (int) encoded.getDataSize();

        if (room < 4 || room > 4 + 65533)
            continue;

        auto const* data = static_cast<juce::uint8 const*> (encoded.getData());
        auto const segmentLength = room - 2;   // the length counts itself, not the marker

        juce::MemoryOutputStream out;
        out.write (data, 2);                   // start of image
        out.writeByte ((char) 0xff);
        out.writeByte ((char) 0xfe);
        out.writeByte ((char) (segmentLength >> 8));
        out.writeByte ((char) (segmentLength & 0xff));
        out.writeRepeatedByte (' ', (size_t) (segmentLength - 2));
        out.write (data + 2, encoded.getDataSize() - 2);

        return file.replaceWithData (out.getData(), out.getDataSize())
            || fail ("cannot write " + file.getFullPathName());
    }

    return fail ("no quality gives " + file.getFileName() + " room for its padding");
}
} // namespace

int main (int argc, char** argv)
{
    if (argc != 2)
    {
        std::cerr << "usage: " << argv[0] << " <resources folder>" << std::endl;
        return 2;
    }

    juce::File const folder (juce::File::getCurrentWorkingDirectory().getChildFile (argv[1]));

    bool const ok = writeSvg (folder.getChildFile ("mac_logo.svg"), 814, 1000, macLogo(), macLogoBytes)
                 && writeSvg (folder.getChildFile ("win_logo.svg"), 2490, 2500, winLogo(), winLogoBytes)
                 && writeJpeg (folder.getChildFile ("menubar-normal.jpg"), drawEmblem (juce::Colour (0xff1f4fc8)), normalPictureBytes)
                 && writeJpeg (folder.getChildFile ("menubar-active.jpg"), drawEmblem (juce::Colours::olive), activePictureBytes);

    juce::DeletedAtShutdown::deleteAll();
    return ok ? 0 : 1;
}
