#include "ipc/TreeStreamCheck.h"

#include "ipc/NetworkText.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace TreeStreamCheck
{
namespace
{
// Type markers of juce::var's stream form.
enum : std::uint8_t
{
    markerInt = 1,
    markerBoolTrue = 2,
    markerBoolFalse = 3,
    markerDouble = 4,
    markerString = 5,
    markerInt64 = 6,
    markerArray = 7,
    markerBinary = 8
};

// Mirrors the reads of juce::MemoryInputStream: past the end, bytes read as 0
// and fixed-size reads consume what is left.
class Walker
{
public:
    Walker (std::uint8_t const* d, size_t n) : data (d), size (n) {}

    bool failed = false;

    size_t remaining() const { return size - position; }

    std::uint8_t readByte()
    {
        return position < size ? data[position++] : 0;
    }

    void skip (size_t n)
    {
        position += n < remaining() ? n : remaining();
    }

    // Reads up to and including a zero byte; returns the number of bytes before it.
    size_t readString()
    {
        auto const start = position;
        size_t length = 0;

        while (readByte() != 0)
            ++length;

        checkText (start, length);
        return length;
    }

    // JUCE makes a juce::String of these bytes (up to a zero byte), whose later
    // operations trust it to be well-formed UTF-8.
    void checkText (size_t start, size_t length)
    {
        if (! NetworkText::isWellFormed (data + start, length))
            fail();
    }

    int readCompressedInt()
    {
        auto sizeByte = readByte();

        if (sizeByte == 0)
            return 0;

        auto numBytes = (size_t) (sizeByte & 0x7f);

        if (numBytes > 4)
            return 0;

        if (remaining() < numBytes)
        {
            skip (numBytes);
            return 0;
        }

        std::uint32_t value = 0;

        for (size_t i = 0; i < numBytes; ++i)
            value |= (std::uint32_t) data[position + i] << (8 * i);

        position += numBytes;

        auto number = (int) value;

        if ((sizeByte & 0x80) != 0)
        {
            // JUCE negates the number as an int: -(-2147483648) overflows.
            if (number == std::numeric_limits<int>::min())
            {
                failed = true;
                return 0;
            }

            return -number;
        }

        return number;
    }

    bool countFits (int count) const
    {
        return count <= 0 || (size_t) count <= remaining();
    }

    // Returns whether JUCE's reader would produce a valid tree here.
    bool readTree (int depth)
    {
        if (depth > maxDepth)
            return fail();

        if (readString() == 0)
            return false;

        auto numProps = readCompressedInt();

        if (failed)
            return false;

        if (numProps < 0)
            return true;

        if (! countFits (numProps))
            return fail();

        for (int i = 0; i < numProps && ! failed; ++i)
            if (readString() > 0)
                readVar (depth + 1);

        auto numChildren = readCompressedInt();

        if (failed || ! countFits (numChildren))
            return fail();

        for (int i = 0; i < numChildren && ! failed; ++i)
            if (! readTree (depth + 1))
                break;

        return true;
    }

    void readVar (int depth)
    {
        if (depth > maxDepth)
        {
            fail();
            return;
        }

        auto numBytes = readCompressedInt();

        if (failed || numBytes <= 0)
            return;

        switch (readByte())
        {
            case markerInt:       skip (4); break;
            case markerInt64:     skip (8); break;

            case markerDouble:
                // JUCE turns a NaN into text through a cast to int, which is undefined.
                if (remaining() >= 8)
                {
                    std::uint64_t bits = 0;

                    for (size_t i = 0; i < 8; ++i)
                        bits |= (std::uint64_t) data[position + i] << (8 * i);

                    double value = 0;
                    std::memcpy (&value, &bits, sizeof (value));

                    if (std::isnan (value))
                        fail();
                }

                skip (8);
                break;
            case markerBoolTrue:
            case markerBoolFalse: break;

            case markerString:
            {
                auto const start = position;
                skip ((size_t) numBytes - 1);
                checkText (start, position - start);
                break;
            }

            case markerBinary:
                // JUCE allocates the announced size before reading. An empty
                // block has no data pointer, and JUCE compares two such blocks
                // (a repeated property name) with memcmp on null pointers.
                if ((size_t) numBytes - 1 > remaining() || numBytes == 1)
                    fail();
                else
                    skip ((size_t) numBytes - 1);
                break;

            case markerArray:
            {
                auto count = readCompressedInt();

                if (failed || ! countFits (count))
                {
                    fail();
                    break;
                }

                for (int i = count; --i >= 0 && ! failed;)
                    readVar (depth + 1);

                break;
            }

            default:
                skip ((size_t) numBytes - 1);
                break;
        }
    }

private:
    bool fail()
    {
        failed = true;
        return false;
    }

    std::uint8_t const* data;
    size_t size;
    size_t position = 0;
};
} // namespace

bool isSafeToRead (void const* data, size_t size)
{
    if (data == nullptr || size > (size_t) std::numeric_limits<int>::max())
        return false;

    Walker walker (static_cast<std::uint8_t const*> (data), size);
    walker.readTree (0);
    return ! walker.failed;
}
} // namespace TreeStreamCheck
