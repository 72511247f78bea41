#include "platform/KeyboardLayout.h"

juce::String KeyTranslation::toString() const
{
    juce::String text;

    for (int i = 0; i < length; ++i)
    {
        auto unit = (juce::juce_wchar) units[(size_t) i];

        if (unit >= 0xd800 && unit < 0xdc00 && i + 1 < length)
        {
            auto low = (juce::juce_wchar) units[(size_t) i + 1];

            if (low >= 0xdc00 && low < 0xe000)
            {
                text += juce::String::charToString (0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00));
                ++i;
                continue;
            }
        }

        text += juce::String::charToString (unit);
    }

    return text;
}
