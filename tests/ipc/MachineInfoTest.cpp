#include "core/Logging.h"
#include "ipc/ControlProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MyQuillsteadIPC.h"
#include "ipc/ServerIPC.h"
#include "platform/memory/MemoryDisplaySource.h"
#include "support/LogCapture.h"

#include <gmock/gmock.h>

#include <vector>

namespace
{
// An independent writer of the tree stream form, so that the bytes JUCE writes
// are checked against the format peers expect, not against JUCE itself.
struct Stream
{
    std::vector<juce::uint8> bytes;

    Stream& text (const char* s)
    {
        bytes.insert (bytes.end(), s, s + std::strlen (s) + 1);
        return *this;
    }

    Stream& count (int n)   // small non-negative compressed ints only
    {
        if (n > 0)
            bytes.push_back (1);

        bytes.push_back ((juce::uint8) n);
        return *this;
    }

    Stream& intProperty (const char* name, int value)
    {
        text (name).count (5).bytes.push_back (1);   // 5 bytes follow: marker 1 (int), 4 bytes LE

        for (int i = 0; i < 4; ++i)
            bytes.push_back ((juce::uint8) ((juce::uint32) value >> (8 * i)));

        return *this;
    }

    Stream& stringProperty (const char* name, const char* value)
    {
        text (name).count ((int) std::strlen (value) + 2).bytes.push_back (5);   // marker 5 (string), text, zero
        return text (value);
    }

    Stream& rectangle (const char* type, int x, int y, int w, int h)
    {
        return text (type).count (4).intProperty ("x", x).intProperty ("y", y).intProperty ("width", w).intProperty ("height", h).count (0);
    }
};

std::vector<juce::uint8> streamOf (juce::ValueTree const& tree)
{
    auto block = ControlProtocol::treePayload (tree);
    auto* begin = static_cast<juce::uint8 const*> (block.getData());
    return { begin, begin + block.getSize() };
}

juce::ValueTree rectangleTree (const char* type, int x, int y, int w, int h)
{
    return { type, { { "x", x }, { "y", y }, { "width", w }, { "height", h } } };
}

// What decodeMonitorInfo reads from a tree: the total area, then the monitors.
juce::String decoded (juce::ValueTree const& tree)
{
    juce::RectangleList<int> monitors;
    juce::Rectangle<int> total (9, 9, 9, 9);
    decodeMonitorInfo (monitors, total, tree);
    juce::StringArray parts { total.toString() };

    for (auto const& r : monitors)
        parts.add (r.toString());

    return parts.joinIntoString (" | ");
}
} // namespace

TEST (Machine, CopiesCarryNoConnectionAndMovesHandItOver)
{
    Machine record;
    EXPECT_EQ (record.connection, nullptr);
    record.IP = "10.0.0.2";
    record.totalArea = { 5, 6, 10, 10 };
    record.connection = new IPCServer::ServerIPC (nullptr);

    Machine copy (record), assigned;
    assigned = record;
    EXPECT_EQ (copy.connection, nullptr);
    EXPECT_EQ (assigned.connection, nullptr);
    EXPECT_EQ (copy.IP, "10.0.0.2");
    EXPECT_EQ (assigned.totalArea, record.totalArea);

    // Exactly one record owns the connection, so it is deleted once.
    Machine moved (std::move (record));
    EXPECT_NE (moved.connection, nullptr);
    EXPECT_EQ (record.connection, nullptr);
}

TEST (Machine, IdIsTheAbsoluteWrappingHashOfTheAddressText)
{
    EXPECT_EQ (computeMachineID ("192.168.1.20"), 1734945242);
    EXPECT_EQ (computeMachineID ("192.168.100.7"), 2051214693);   // the hash is negative
    EXPECT_EQ (computeMachineID (""), 0);

    // A text whose hash is -2147483648 keeps it: the absolute value wraps.
    auto text = juce::String ("16000") + juce::String::charToString ((juce::juce_wchar) 0x8b5f5) + "*";
    EXPECT_EQ (computeMachineID (text), std::numeric_limits<int>::min());
}

TEST (MonitorInfo, TreesHaveTheExactStreamBytesPeersRead)
{
    juce::RectangleList<int> monitors;
    monitors.add ({ 0, 0, 1920, 1080 });
    monitors.add ({ -1280, 100, 1280, 1024 });
    juce::Rectangle<int> total (-1280, 0, 3200, 1124);

    juce::ValueTree changed ("changedMonitorInfo");
    changed.setProperty ("ID", 1734945242, nullptr);
    addMonitorInfo (monitors, total, changed);

    Stream expectedChanged;
    expectedChanged.text ("changedMonitorInfo").count (1).intProperty ("ID", 1734945242).count (3)
        .rectangle ("totalArea", -1280, 0, 3200, 1124)
        .rectangle ("monitor", 0, 0, 1920, 1080)
        .rectangle ("monitor", -1280, 100, 1280, 1024);
    EXPECT_EQ (streamOf (changed), expectedChanged.bytes);

    Machine record;
    record.IP = "192.168.1.20";
    record.port = 51234;
    record.OS = "MAC";
    record.displays.add ({ 0, 0, 1920, 1080 });
    record.totalArea = { 192, 108, 1920, 1080 };

    Stream expectedInfo;
    expectedInfo.text ("machineInfo").count (4)
        .stringProperty ("IP", "192.168.1.20").intProperty ("port", 51234).stringProperty ("OS", "MAC").intProperty ("ID", 1734945242)
        .count (2)
        .rectangle ("totalArea", 192, 108, 1920, 1080)
        .rectangle ("monitor", 0, 0, 1920, 1080);
    EXPECT_EQ (streamOf (createMachineInfo (&record, 1734945242)), expectedInfo.bytes);
}

TEST (MonitorInfo, MachineInfoOfARecordWithoutDisplaysHasOnlyTheTotalAreaAndIsLogged)
{
    LogCapture log;
    Machine record;
    record.IP = "10.1.1.1";
    auto tree = createMachineInfo (&record, 77);

    ASSERT_EQ (tree.getNumChildren(), 1);
    EXPECT_EQ (tree.getChild (0).getType().toString(), "totalArea");

    // The second line is the tree as XML text in JUCE's default format.
    auto const lines = log.getLines();
    ASSERT_EQ (lines.size(), 2);
    EXPECT_EQ (lines[0], "createMachineInfo:");
    EXPECT_TRUE (lines[1].startsWith ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n\r\n<machineInfo IP=\"10.1.1.1\" port=\"0\" OS=\"\" ID=\"77\">"))
        << lines[1];
}

TEST (MonitorInfo, DecodeReadsTotalByNameAndMonitorsFromChildOne)
{
    // Mirrored monitors: two children, one rectangle after reading.
    juce::ValueTree mirrored ("machineInfo");
    juce::RectangleList<int> twice;
    twice.addWithoutMerging ({ 0, 0, 1920, 1080 });
    twice.addWithoutMerging ({ 0, 0, 1920, 1080 });
    addMonitorInfo (twice, { 0, 0, 1920, 1080 }, mirrored);
    EXPECT_EQ (mirrored.getNumChildren(), 3);
    EXPECT_EQ (decoded (mirrored), "0 0 1920 1080 | 0 0 1920 1080");

    // "totalArea" that is not child 0: found by name, child 0 never read as a
    // monitor, and the "totalArea" child read as one. Width 0 is dropped;
    // numbers as texts are read.
    juce::ValueTree shuffled ("changedMonitorInfo");
    shuffled.appendChild (rectangleTree ("monitor", 0, 0, 800, 600), nullptr);
    shuffled.appendChild (rectangleTree ("totalArea", -1440, 0, 1024, 768), nullptr);
    shuffled.appendChild (rectangleTree ("monitor", 2000, 0, 0, 600), nullptr);
    shuffled.appendChild ({ "monitor", { { "x", "3000" }, { "width", "640" }, { "height", 480 } } }, nullptr);
    shuffled.appendChild (rectangleTree ("monitor", 1024, 0, std::numeric_limits<int>::max(), 600), nullptr);   // beyond any desktop
    EXPECT_EQ (decoded (shuffled), "-1440 0 1024 768 | -1440 0 1024 768 | 3000 0 640 480");

    // No "totalArea" at all, and an invalid tree (which gets nothing appended): zeros.
    juce::ValueTree noTotal ("newMonitorInfo"), invalid;
    noTotal.appendChild (rectangleTree ("monitor", 0, 0, 8, 6), nullptr);
    EXPECT_EQ (decoded (noTotal), "0 0 0 0");
    addMonitorInfo (juce::RectangleList<int> ({ 0, 0, 10, 10 }), { 0, 0, 10, 10 }, invalid);
    EXPECT_EQ (decoded (invalid), "0 0 0 0");
}

TEST (MonitorInfo, DescribesTheMonitorsOfItsDisplaySource)
{
    // Two monitors, one left of the origin, the main one not at the origin.
    MemoryDisplaySource source;
    source.setDisplays ({ { { -1280, 200, 1280, 1024 }, false }, { { 0, 0, 2560, 1440 }, true } });

    for (bool isNew : { true, false })
    {
        auto tree = createMonitorInfo (isNew, source);
        EXPECT_EQ (tree.getType().toString(), isNew ? "newMonitorInfo" : "changedMonitorInfo");
        EXPECT_EQ (tree.getNumProperties(), 0);
        EXPECT_EQ (tree.getChild (0).getType().toString(), "totalArea");
        EXPECT_EQ (decoded (tree), "-1280 0 3840 1440 | -1280 200 1280 1024 | 0 0 2560 1440");
    }

    // Listed in logical pixels with a scale, as JUCE lists a scaled screen:
    // described in the screen's own pixels.
    source.setDisplays ({ { { 0, 0, 960, 540 }, true, 2.0 }, { { 960, 0, 1280, 1024 }, false, 1.0, juce::Point<int> (1920, 0) } });
    EXPECT_EQ (decoded (createMonitorInfo (true, source)), "0 0 3200 1080 | 0 0 1920 1080 | 1920 0 1280 1024");
    EXPECT_EQ (source.getMainDisplayArea(), juce::Rectangle<int> (0, 0, 1920, 1080));
}

TEST (MonitorInfo, PropertyValuesOfAnyTypeReadAsIntsSafely)
{
    auto constexpr min = std::numeric_limits<int>::min(), max = std::numeric_limits<int>::max();
    std::pair<juce::var, int> const cases[] {
        { 1920, 1920 }, { "  -120px", -120 }, { "-2147483648", min }, { {}, 0 }, { 1.0e214, max }, { -1.0e214, min },
        { std::nan (""), 0 }, { 12.9, 12 }, { true, 1 }, { juce::Array<juce::var> { 1, 2 }, 0 },
    };

    for (auto const& [value, expected] : cases)
        EXPECT_EQ (propertyAsInt (value), expected) << value.toString();
}
