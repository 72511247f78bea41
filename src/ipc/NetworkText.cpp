#include "ipc/NetworkText.h"

#include <cstring>

namespace NetworkText
{
namespace
{
// U+FFFD, which each byte of an ill-formed sequence becomes.
constexpr char replacementUtf8[] = "\xef\xbf\xbd";
constexpr size_t replacementBytes = sizeof (replacementUtf8) - 1;

bool isContinuation (juce::uint8 byte) { return (byte & 0xc0) == 0x80; }

// Decodes one well-formed sequence at 'p' (RFC 3629); returns its length, or 0
// when the bytes there are not a well-formed sequence.
size_t decodeOne (juce::uint8 const* p, size_t available, juce::juce_wchar& out)
{
    auto lead = p[0];

    if (lead < 0x80)
    {
        out = lead;
        return 1;
    }

    size_t length = 0;
    juce::uint8 low = 0x80, high = 0xbf;   // allowed range of the second byte

    if (lead >= 0xc2 && lead <= 0xdf)       length = 2;
    else if (lead == 0xe0)                  { length = 3; low = 0xa0; }
    else if (lead >= 0xe1 && lead <= 0xec)  length = 3;
    else if (lead == 0xed)                  { length = 3; high = 0x9f; }
    else if (lead >= 0xee && lead <= 0xef)  length = 3;
    else if (lead == 0xf0)                  { length = 4; low = 0x90; }
    else if (lead >= 0xf1 && lead <= 0xf3)  length = 4;
    else if (lead == 0xf4)                  { length = 4; high = 0x8f; }
    else                                    return 0;

    if (available < length || p[1] < low || p[1] > high)
        return 0;

    for (size_t i = 2; i < length; ++i)
        if (! isContinuation (p[i]))
            return 0;

    juce::uint32 value = lead & (0xff >> (length + 1));

    for (size_t i = 1; i < length; ++i)
        value = (value << 6) | (p[i] & 0x3f);

    out = (juce::juce_wchar) value;
    return length;
}
} // namespace

size_t decodedSize (void const* data, size_t size)
{
    if (data == nullptr)
        return 0;

    auto const* bytes = static_cast<juce::uint8 const*> (data);
    juce::juce_wchar c = 0;
    size_t textBytes = 0;

    for (size_t i = 0; i < size && bytes[i] != 0;)
    {
        auto const length = decodeOne (bytes + i, size - i, c);
        textBytes += length == 0 ? replacementBytes : length;
        i += juce::jmax<size_t> (1, length);
    }

    return textBytes;
}

void decodeInto (void const* data, size_t size, char* out)
{
    if (data == nullptr)
        return;

    auto const* bytes = static_cast<juce::uint8 const*> (data);
    juce::juce_wchar c = 0;

    for (size_t i = 0; i < size && bytes[i] != 0;)
    {
        auto const length = decodeOne (bytes + i, size - i, c);

        if (length == 0)
        {
            std::memcpy (out, replacementUtf8, replacementBytes);
            out += replacementBytes;
            ++i;
        }
        else
        {
            // A well-formed sequence is kept as it is.
            std::memcpy (out, bytes + i, length);
            out += length;
            i += length;
        }
    }
}

juce::String fromBytes (void const* data, size_t size)
{
    // The decoded text's size first, so that it is written straight into a
    // string of that size: nothing larger than the text is ever held.
    auto const textBytes = decodedSize (data, size);

    if (textBytes == 0)
        return {};

    juce::String text;
    text.preallocateBytes (textBytes);
    auto* out = text.getCharPointer().getAddress();
    decodeInto (data, size, out);
    out[textBytes] = 0;
    return text;
}

juce::String fromBytes (juce::MemoryBlock const& block)
{
    return fromBytes (block.getData(), block.getSize());
}

bool isWellFormed (void const* data, size_t size)
{
    auto const* bytes = static_cast<juce::uint8 const*> (data);

    for (size_t i = 0; i < size && bytes[i] != 0;)
    {
        juce::juce_wchar c = 0;
        auto length = decodeOne (bytes + i, size - i, c);

        if (length == 0)
            return false;

        i += length;
    }

    return true;
}
} // namespace NetworkText
