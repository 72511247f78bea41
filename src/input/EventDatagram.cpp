#include "input/EventDatagram.h"

#include <vector>

namespace
{
constexpr size_t blockSize = 8;

void storeLittleEndian (juce::uint32 value, juce::uint8* bytes)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = (juce::uint8) (value >> (8 * i));
}

template <typename Operation>
void applyToBlocks (juce::uint8* bytes, size_t size, Operation&& operation)
{
    for (size_t offset = 0; offset + blockSize <= size; offset += blockSize)
    {
        auto* block = bytes + offset;
        auto left = juce::ByteOrder::littleEndianInt (block);
        auto right = juce::ByteOrder::littleEndianInt (block + 4);

        operation (left, right);

        storeLittleEndian (left, block);
        storeLittleEndian (right, block + 4);
    }
}
/** The text of UTF-8 bytes up to the first zero. Every byte that does not
    belong to a well-formed character becomes U+FFFD: JUCE's own reading
    assumes well-formed text and writes past its buffer otherwise. */
juce::String readUTF8 (juce::uint8 const* bytes, size_t size)
{
    static constexpr juce::uint32 smallest[] = { 0, 0x80, 0x800, 0x10000 };
    std::vector<juce::juce_wchar> chars;
    chars.reserve (size + 1);

    for (size_t i = 0; i < size && bytes[i] != 0;)
    {
        auto const lead = bytes[i];
        int const extra = lead < 0x80 ? 0 : (lead & 0xe0) == 0xc0 ? 1 : (lead & 0xf0) == 0xe0 ? 2 : (lead & 0xf8) == 0xf0 ? 3 : -1;
        auto c = (juce::uint32) (extra <= 0 ? lead : lead & (0x7f >> (extra + 1)));
        bool wellFormed = extra >= 0 && i + (size_t) extra < size;

        for (int k = 1; wellFormed && k <= extra; ++k)
        {
            auto const next = bytes[i + (size_t) k];
            wellFormed = (next & 0xc0) == 0x80;
            c = (c << 6) | (next & 0x3fu);
        }

        wellFormed = wellFormed && c >= smallest[extra] && c <= 0x10ffff && (c < 0xd800 || c > 0xdfff);
        chars.push_back ((juce::juce_wchar) (wellFormed ? c : 0xfffd));
        i += wellFormed ? (size_t) extra + 1 : 1;
    }

    chars.push_back (0);
    return juce::String (juce::CharPointer_UTF32 (chars.data()));
}
} // namespace

EventDatagram::EventDatagram (juce::String const& key)
    : blowFish (key.toRawUTF8(), (int) key.getNumBytesAsUTF8())
{
}

juce::String EventDatagram::makeText (SocketThread::EventPlusData const& event, bool sameSystem)
{
    auto const flags = " flags: " + juce::String (event.flags);
    auto const position = juce::String (event.x) + "_" + juce::String (event.y);
    auto const clicks = " numClicks: " + juce::String (event.clickState);

    switch (event.type)
    {
        case 0:  return "Move mouse to: " + position + flags;
        case 1:  return "Drag mouse to: " + position + flags;
        case 2:  return "Left mouse down" + flags + clicks;
        case 3:  return "Left mouse up" + flags + clicks;
        case 4:  return "Right mouse down" + flags;
        case 5:  return "Right mouse up" + flags;
        case 6:  return "Left double click" + flags;
        case 7:  return "Mouse wheel: " + juce::String (event.wheelDelta) + flags;
        case 8:  return sameSystem ? "CGKey down: " + juce::String (event.keyCode) + flags : "Key down: " + event.text;
        case 9:  return sameSystem ? "CGKey up: " + juce::String (event.keyCode) + flags : "Key up: " + event.text;
        case 10: return "UnicodeChar: " + event.text;
        default: return {};
    }
}

juce::MemoryBlock EventDatagram::encrypt (juce::String const& text) const
{
    auto const size = text.getNumBytesAsUTF8();
    auto const padding = blockSize - size % blockSize;

    juce::MemoryBlock datagram (size + padding);
    auto* bytes = static_cast<juce::uint8*> (datagram.getData());
    std::memcpy (bytes, text.toRawUTF8(), size);
    std::memset (bytes + size, (int) padding, padding);

    applyToBlocks (bytes, datagram.getSize(), [this] (juce::uint32& l, juce::uint32& r) { blowFish.encrypt (l, r); });
    return datagram;
}

juce::String EventDatagram::decode (void const* data, size_t size) const
{
    std::vector<juce::uint8> bytes (static_cast<juce::uint8 const*> (data), static_cast<juce::uint8 const*> (data) + size);
    auto length = size;

    if (size > 0 && size % blockSize == 0)
    {
        applyToBlocks (bytes.data(), size, [this] (juce::uint32& l, juce::uint32& r) { blowFish.decrypt (l, r); });

        auto const padding = (size_t) bytes[size - 1];

        if (padding >= 1 && padding <= blockSize && padding <= size)
            length = size - padding;
    }

    return readUTF8 (bytes.data(), length);
}
