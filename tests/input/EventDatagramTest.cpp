// The event datagram byte for byte: the texts of every event type, the
// padding and the cipher, and the reading of plain and encrypted datagrams.

#include "input/EventDatagram.h"

#include <gmock/gmock.h>

#include <cstring>

namespace
{
constexpr const char* key = "DriftLanternK7q";

using Event = SocketThread::EventPlusData;

Event event (juce::uint32 type, std::function<void (Event&)> const& fill = {})
{
    Event e;
    e.type = type;
    e.flags = 256;

    if (fill)
        fill (e);

    return e;
}

std::vector<juce::uint8> bytesOf (juce::MemoryBlock const& block)
{
    auto const* data = static_cast<juce::uint8 const*> (block.getData());
    return { data, data + block.getSize() };
}

/** Bytes put through JUCE's cipher block by block, halves as stored on this (little-endian) machine, no padding. */
std::vector<juce::uint8> throughCipher (std::vector<juce::uint8> bytes, bool encrypt)
{
    juce::BlowFish cipher (key, (int) std::strlen (key));

    for (size_t i = 0; i + 8 <= bytes.size(); i += 8)
    {
        juce::uint32 halves[2];
        std::memcpy (halves, bytes.data() + i, 8);
        encrypt ? cipher.encrypt (halves[0], halves[1]) : cipher.decrypt (halves[0], halves[1]);
        std::memcpy (bytes.data() + i, halves, 8);
    }

    return bytes;
}

juce::MemoryBlock encryptedRaw (std::vector<juce::uint8> const& bytes)
{
    auto const encrypted = throughCipher (bytes, true);
    return { encrypted.data(), encrypted.size() };
}
} // namespace

TEST (EventDatagram, TextsOfEveryEventType)
{
    struct Case { Event event; bool sameSystem; juce::String text; };

    const Case cases[] = {
        { event (0, [] (Event& e) { e.x = 1523.5; e.y = 100.0; }), true, "Move mouse to: 1523.5_100 flags: 256" },
        { event (0, [] (Event& e) { e.x = 1234567.0; e.y = -0.25; }), false, "Move mouse to: 1.23457e+06_-0.25 flags: 256" },
        { event (1, [] (Event& e) { e.x = 0.0001; e.y = 3; e.flags = 0xffffffffffffffffull; }), true,
          "Drag mouse to: 0.0001_3 flags: 18446744073709551615" },
        { event (2, [] (Event& e) { e.clickState = 1; }), false, "Left mouse down flags: 256 numClicks: 1" },
        { event (3, [] (Event& e) { e.clickState = 2; }), true, "Left mouse up flags: 256 numClicks: 2" },
        { event (4), true, "Right mouse down flags: 256" },
        { event (5), false, "Right mouse up flags: 256" },
        { event (6), true, "Left double click flags: 256" },
        { event (7, [] (Event& e) { e.wheelDelta = -3; e.flags = 0x20100; }), true, "Mouse wheel: -3 flags: 131328" },
        { event (8, [] (Event& e) { e.keyCode = 0; e.text = "a"; }), true, "CGKey down: 0 flags: 256" },
        { event (8, [] (Event& e) { e.keyCode = 0; e.text = "a"; }), false, "Key down: a" },
        { event (9, [] (Event& e) { e.keyCode = 65535; e.text = "Shift"; }), true, "CGKey up: 65535 flags: 256" },
        { event (9, [] (Event& e) { e.text = "Shift"; }), false, "Key up: Shift" },
        { event (10, [] (Event& e) { e.text = juce::String::charToString (0xe9); }), true,
          "UnicodeChar: " + juce::String::charToString (0xe9) },
        { event (11), true, {} },
    };

    for (auto const& c : cases)
        EXPECT_EQ (EventDatagram::makeText (c.event, c.sameSystem), c.text) << c.text;
}

TEST (EventDatagram, PadsWithTheCountAndEncryptsBlocksWithLittleEndianHalves)
{
    EventDatagram datagram (key);

    // The known vector: "Hello123" and a whole block of padding.
    EXPECT_THAT (bytesOf (datagram.encrypt ("Hello123")),
                 ::testing::ElementsAre (0x33, 0x9d, 0xe2, 0xcf, 0xb5, 0x1c, 0xf2, 0xb7,
                                         0xdd, 0xad, 0x32, 0x5a, 0x41, 0x8a, 0xc9, 0x9b));

    // Texts of every length around the block size: n + p bytes, p bytes of value p at the end.
    for (auto const* text : { "", "Left mouse up fl", "Right mouse u", "Key down: a", "Move mouse to: 1_2 flags: 256" })
    {
        auto const plain = juce::String (text);
        auto const n = (size_t) plain.getNumBytesAsUTF8();
        auto const p = 8 - n % 8;

        std::vector<juce::uint8> expected (plain.toRawUTF8(), plain.toRawUTF8() + n);
        expected.insert (expected.end(), p, (juce::uint8) p);

        auto const encrypted = datagram.encrypt (plain);
        EXPECT_EQ (encrypted.getSize(), n + p) << text;
        EXPECT_EQ (throughCipher (bytesOf (encrypted), false), expected) << text;
        EXPECT_EQ (datagram.decode (encrypted.getData(), encrypted.getSize()), plain) << text;
    }
}

TEST (EventDatagram, DecodesPlainAndEncryptedDatagrams)
{
    EventDatagram datagram (key);
    auto const plain = [] (const char* text) { return juce::MemoryBlock (text, std::strlen (text)); };
    auto const bad = juce::String::charToString (0xfffd);

    struct Case { juce::MemoryBlock bytes; juce::String text; };

    const Case cases[] = {
        { plain ("Hello"), "Hello" },                                                 // not a multiple of 8: plain
        { plain ("Key down: a"), "Key down: a" },
        { {}, "" },
        { juce::MemoryBlock ("\0abc", 4), "" },                                       // a leading zero: empty
        { encryptedRaw ({ 'A', 'B', 'C', 'D', 'E', 'F', 'G', 1 }), "ABCDEFG" },
        { encryptedRaw ({ 'A', 'B', 'C', 'D', 'E', 'F', 'G', 9 }), "ABCDEFG\t" },     // no padding length: every byte
        { encryptedRaw ({ 'A', 'B', 'C', 'D', 'E', 'F', 'G', 0x43 }), "ABCDEFGC" },
        { encryptedRaw ({ 'A', 'B', 'C', 'D', 'x', 'x', 'x', 4 }), "ABCD" },          // padding values are not checked
        { encryptedRaw ({ 0xc3, 0xa9, 'x', 0, 'y', 3, 3, 3 }), juce::String::charToString (0xe9) + "x" },
        // Bytes that form no character (cut short, overlong, a surrogate, beyond U+10FFFF, stray) read as U+FFFD.
        { juce::MemoryBlock ("\xf0\x9f\x98", 3), bad + bad + bad },
        { juce::MemoryBlock ("a\xc0\x80\xed\xa0\x80z", 7), "a" + bad + bad + bad + bad + bad + "z" },
        { juce::MemoryBlock ("\xf4\x90\x80\x80\xff\x80\xf0\x9f\x98\x80", 10), bad + bad + bad + bad + bad + bad + juce::String::charToString (0x1f600) },
    };

    for (auto const& c : cases)
        EXPECT_EQ (datagram.decode (c.bytes.getData(), c.bytes.getSize()), c.text) << c.text;
}
