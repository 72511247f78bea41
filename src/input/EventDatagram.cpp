#include "input/EventDatagram.h"

#include "ipc/NetworkText.h"

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

    return NetworkText::fromBytes (bytes.data(), length);
}
