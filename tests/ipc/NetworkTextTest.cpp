#include "ipc/ControlProtocol.h"
#include "ipc/NetworkText.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>

#include <cstring>
#include <vector>

namespace
{
juce::String decode (std::vector<juce::uint8> const& bytes)
{
    return NetworkText::fromBytes (bytes.data(), bytes.size());
}

juce::String fromCodePoints (std::vector<juce::juce_wchar> points)
{
    juce::String s;
    for (auto c : points)
        s += juce::String::charToString (c);
    return s;
}
} // namespace

TEST (NetworkText, WellFormedUtf8IsKeptAndIllFormedBytesBecomeReplacementCharacters)
{
    EXPECT_EQ (decode ({ 'a', 0xc3, 0xa9, 0xe2, 0x82, 0xac, 0xf0, 0x9f, 0x98, 0x80 }),
               fromCodePoints ({ 'a', 0xe9, 0x20ac, 0x1f600 }));

    constexpr juce::juce_wchar r = 0xfffd;
    EXPECT_EQ (decode ({ 0xc0, 0x80 }), fromCodePoints ({ r, r }));              // overlong
    EXPECT_EQ (decode ({ 0xe0, 0x80, 0x80 }), fromCodePoints ({ r, r, r }));
    EXPECT_EQ (decode ({ 0xed, 0xa0, 0x80 }), fromCodePoints ({ r, r, r }));     // surrogate
    EXPECT_EQ (decode ({ 0xf4, 0x90, 0x80, 0x80 }), fromCodePoints ({ r, r, r, r })); // above U+10FFFF
    EXPECT_EQ (decode ({ 'x', 0xe2, 0x82 }), fromCodePoints ({ 'x', r, r }));    // cut short
    EXPECT_EQ (decode ({ 0xfe, 0xff, 'y' }), fromCodePoints ({ r, r, 'y' }));
    EXPECT_EQ (decode ({ 'a', 'b', 0, 'c' }), "ab");
    EXPECT_EQ (NetworkText::fromBytes (nullptr, 4), "");
}

TEST (NetworkText, FieldOperationsOnDecodedJunkStayInBounds)
{
    // Junk inside a field once made juce::String write past its buffer.
    std::vector<juce::uint8> junk;
    for (auto c : juce::String ("Machine moved ID: 7").toStdString())
        junk.push_back ((juce::uint8) c);
    junk.insert (junk.end(), { 0xa0, 'x' });
    junk.insert (junk.end(), 52, 0x9e);
    junk.insert (junk.end(), { 0xfe, 0xff, 0xff, 0xff });
    junk.insert (junk.end(), 14, 0xe0);
    junk.insert (junk.end(), { 0xc3, ':', ' ', '-', '1', '2', '0', ' ', 'y', ':', ' ', '4', '0' });

    auto text = ControlProtocol::readText (junk.data(), junk.size());
    ASSERT_EQ (ControlProtocol::classifyToServer (text), ControlProtocol::ToServer::machineMoved);
    auto moved = ControlProtocol::readMachineMoved (text);
    EXPECT_EQ (moved.id, 7);
    EXPECT_EQ (moved.y, 40);
    EXPECT_TRUE (text.toUTF8().isValidString (text.toRawUTF8(), (int) text.getNumBytesAsUTF8()));
}

// A text is written straight into a string of its own size: decoding 32 MB
// holds neither four bytes per byte nor a second copy on the way.
TEST (NetworkText, DecodingHoldsNothingBeyondTheText)
{
    std::vector<char> bytes (32u << 20, 'x');
    bytes[1000] = '\xff';
    auto const before = TestEnvironment::peakAddressSpace();
    auto const text = NetworkText::fromBytes (bytes.data(), bytes.size());
    auto const rise = TestEnvironment::peakAddressSpace() - before;

    EXPECT_EQ (text.getNumBytesAsUTF8(), bytes.size() + 2);
    EXPECT_LT (rise, (juce::int64) bytes.size() * 2);
}

// A clipboard of ill-formed bytes grows threefold when relayed: its size is
// known before anything is made, and the relay holds the relayed payload and
// nothing more (no decoded text on the way).
TEST (NetworkText, ARelayOfIllFormedBytesHoldsItsPayloadAndNothingMore)
{
    std::string const head = "Route clipboard to ID: 7 content: ";
    juce::MemoryBlock route (head.size() + (48u << 20));
    route.fillWith (0xff);
    route.copyFrom (head.data(), 0, head.size());

    auto const before = TestEnvironment::peakAddressSpace();
    auto const planned = ControlProtocol::relayClipboard (route, false);
    EXPECT_EQ (planned.size, 19 + 3 * (48u << 20));
    EXPECT_TRUE (planned.payload.isEmpty());

    auto const relayed = ControlProtocol::relayClipboard (route);
    auto const rise = TestEnvironment::peakAddressSpace() - before;
    EXPECT_EQ (relayed.id, 7);
    ASSERT_EQ (relayed.payload.getSize(), planned.size);
    EXPECT_EQ (std::memcmp (static_cast<char const*> (relayed.payload.getData()) + relayed.size - 3, "\xef\xbf\xbd", 3), 0);
    EXPECT_LT (rise, (juce::int64) planned.size * 5 / 4);
}
