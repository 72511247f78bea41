#include "core/Logging.h"
#include "ipc/ControlProtocol.h"
#include "ipc/Machine.h"
#include "ipc/MyQuillsteadIPC.h"
#include "ipc/ServerIPC.h"
#include "platform/memory/MemoryDisplaySource.h"
#include "support/TestEnvironment.h"

#include <gmock/gmock.h>
#include <juce_gui_basics/juce_gui_basics.h>

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
        for (auto* p = s; *p != 0; ++p)
            bytes.push_back ((juce::uint8) *p);
        bytes.push_back (0);
        return *this;
    }

    Stream& count (int n)    // small non-negative compressed ints only
    {
        if (n == 0)
        {
            bytes.push_back (0);
        }
        else if (n < 256)
        {
            bytes.push_back (1);
            bytes.push_back ((juce::uint8) n);
        }
        else
        {
            bytes.push_back (2);
            bytes.push_back ((juce::uint8) (n & 0xff));
            bytes.push_back ((juce::uint8) (n >> 8));
        }
        return *this;
    }

    Stream& intProperty (const char* name, int value)
    {
        text (name);
        bytes.insert (bytes.end(), { 1, 5, 1 });   // 5 bytes follow: marker 1 (int), 4 bytes LE
        auto v = (juce::uint32) value;
        for (int i = 0; i < 4; ++i)
            bytes.push_back ((juce::uint8) (v >> (8 * i)));
        return *this;
    }

    Stream& stringProperty (const char* name, const char* value)
    {
        text (name);
        count ((int) std::strlen (value) + 2);        // marker + bytes + terminator
        bytes.push_back (5);                         // marker 5 (string)
        return text (value);
    }

    Stream& rectangle (const char* type, int x, int y, int w, int h)
    {
        text (type).count (4);
        intProperty ("x", x).intProperty ("y", y).intProperty ("width", w).intProperty ("height", h);
        return count (0);
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
    juce::ValueTree t (type);
    t.setProperty ("x", x, nullptr);
    t.setProperty ("y", y, nullptr);
    t.setProperty ("width", w, nullptr);
    t.setProperty ("height", h, nullptr);
    return t;
}
} // namespace

TEST (Machine, CopiesCarryNoConnectionAndMovesHandItOver)
{
    Machine record;
    EXPECT_EQ (record.connection, nullptr);
    EXPECT_EQ (record.port, 0);
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
    EXPECT_EQ (juce::String ("192.168.100.7").hashCode(), -2051214693);
    EXPECT_EQ (computeMachineID ("192.168.100.7"), 2051214693);
    EXPECT_EQ (computeMachineID ("127.0.0.1"), 1505998205);
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

    juce::ValueTree fresh ("newMonitorInfo");
    addMonitorInfo (monitors, total, fresh);

    Stream expectedNew;
    expectedNew.text ("newMonitorInfo").count (0).count (3)
        .rectangle ("totalArea", -1280, 0, 3200, 1124)
        .rectangle ("monitor", 0, 0, 1920, 1080)
        .rectangle ("monitor", -1280, 100, 1280, 1024);
    EXPECT_EQ (streamOf (fresh), expectedNew.bytes);

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
        .stringProperty ("IP", "192.168.1.20")
        .intProperty ("port", 51234)
        .stringProperty ("OS", "MAC")
        .intProperty ("ID", 1734945242)
        .count (2)
        .rectangle ("totalArea", 192, 108, 1920, 1080)
        .rectangle ("monitor", 0, 0, 1920, 1080);
    EXPECT_EQ (streamOf (createMachineInfo (&record, 1734945242)), expectedInfo.bytes);
}

TEST (MonitorInfo, MachineInfoOfARecordWithoutDisplaysHasOnlyTheTotalAreaAndIsLogged)
{
    std::unique_ptr<juce::FileLogger> logger;
    Logging::start (logger);

    Machine record;
    record.IP = "10.1.1.1";
    auto tree = createMachineInfo (&record, 77);
    Logging::stop();

    ASSERT_EQ (tree.getNumChildren(), 1);
    EXPECT_EQ (tree.getChild (0).getType().toString(), "totalArea");
    EXPECT_EQ (tree.getPropertyName (0).toString(), "IP");
    EXPECT_EQ (tree.getPropertyName (3).toString(), "ID");
    EXPECT_EQ ((int) tree["ID"], 77);

    auto log = logger->getLogFile().loadFileAsString();
    auto after = log.fromFirstOccurrenceOf (" createMachineInfo:\r\n", false, false);
    ASSERT_TRUE (after.isNotEmpty());
    // The second line is the tree as XML text with JUCE's default format.
    EXPECT_TRUE (after.contains ("Z <?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n\r\n<machineInfo IP=\"10.1.1.1\" port=\"0\" OS=\"\" ID=\"77\">"))
        << after;
}

TEST (MonitorInfo, DecodeReadsTotalByNameAndMonitorsFromChildOne)
{
    // Mirrored monitors: two children, one rectangle after reading.
    {
        juce::ValueTree tree ("machineInfo");
        juce::RectangleList<int> mirrored;
        mirrored.addWithoutMerging ({ 0, 0, 1920, 1080 });
        mirrored.addWithoutMerging ({ 0, 0, 1920, 1080 });
        addMonitorInfo (mirrored, { 0, 0, 1920, 1080 }, tree);
        EXPECT_EQ (tree.getNumChildren(), 3);

        juce::RectangleList<int> monitors;
        juce::Rectangle<int> total;
        decodeMonitorInfo (monitors, total, tree);
        EXPECT_EQ (monitors.getNumRectangles(), 1);
        EXPECT_EQ (monitors.getBounds(), juce::Rectangle<int> (0, 0, 1920, 1080));
        EXPECT_EQ (total, juce::Rectangle<int> (0, 0, 1920, 1080));
    }

    // A second monitor left of the main one: negative x in the monitor and the total.
    {
        juce::ValueTree tree ("newMonitorInfo");
        juce::RectangleList<int> sideBySide;
        sideBySide.add ({ 0, 0, 1920, 1080 });
        sideBySide.add ({ -1440, 0, 1440, 900 });
        addMonitorInfo (sideBySide, sideBySide.getBounds(), tree);

        juce::RectangleList<int> monitors;
        juce::Rectangle<int> total;
        decodeMonitorInfo (monitors, total, tree);
        EXPECT_EQ (total, juce::Rectangle<int> (-1440, 0, 3360, 1080));
        EXPECT_EQ (monitors.getNumRectangles(), 2);
        EXPECT_TRUE (monitors.containsRectangle ({ -1440, 0, 1440, 900 }));
    }

    // "totalArea" that is not child 0: found by name, child 0 never read as a
    // monitor, and the "totalArea" child read as one. Width 0 is dropped.
    {
        juce::ValueTree tree ("changedMonitorInfo");
        tree.appendChild (rectangleTree ("monitor", 0, 0, 800, 600), nullptr);
        tree.appendChild (rectangleTree ("totalArea", 100, 0, 1024, 768), nullptr);
        tree.appendChild (rectangleTree ("monitor", 2000, 0, 0, 600), nullptr);
        auto withText = rectangleTree ("monitor", 0, 0, 0, 0);
        withText.setProperty ("x", "3000", nullptr);
        withText.setProperty ("width", "640", nullptr);
        withText.setProperty ("height", 480, nullptr);
        withText.removeProperty ("y", nullptr);
        tree.appendChild (withText, nullptr);

        juce::RectangleList<int> monitors;
        juce::Rectangle<int> total;
        decodeMonitorInfo (monitors, total, tree);
        EXPECT_EQ (total, juce::Rectangle<int> (100, 0, 1024, 768));
        EXPECT_EQ (monitors.getNumRectangles(), 2);
        EXPECT_TRUE (monitors.containsRectangle ({ 100, 0, 1024, 768 }));
        EXPECT_TRUE (monitors.containsRectangle ({ 3000, 0, 640, 480 }));
        EXPECT_FALSE (monitors.intersectsRectangle ({ 0, 0, 100, 600 }));
    }

    // An invalid tree gets nothing appended and reads as zeros.
    {
        juce::ValueTree invalid;
        juce::RectangleList<int> monitors ({ 0, 0, 10, 10 });
        addMonitorInfo (monitors, { 0, 0, 10, 10 }, invalid);
        EXPECT_FALSE (invalid.isValid());

        juce::RectangleList<int> decoded;
        juce::Rectangle<int> total (1, 2, 3, 4);
        decodeMonitorInfo (decoded, total, invalid);
        EXPECT_EQ (total, juce::Rectangle<int>());
        EXPECT_TRUE (decoded.isEmpty());
    }

    // No "totalArea" at all: zeros.
    {
        juce::ValueTree tree ("newMonitorInfo");
        tree.appendChild (rectangleTree ("monitor", 0, 0, 800, 600), nullptr);
        juce::RectangleList<int> monitors;
        juce::Rectangle<int> total (9, 9, 9, 9);
        decodeMonitorInfo (monitors, total, tree);
        EXPECT_EQ (total, juce::Rectangle<int>());
        EXPECT_TRUE (monitors.isEmpty());
    }
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
        ASSERT_EQ (tree.getNumChildren(), 3);
        EXPECT_EQ (tree.getChild (0).getType().toString(), "totalArea");

        auto area = [&tree] (int i)
        {
            auto c = tree.getChild (i);
            return juce::Rectangle<int> ((int) c["x"], (int) c["y"], (int) c["width"], (int) c["height"]);
        };

        EXPECT_EQ (area (0), juce::Rectangle<int> (-1280, 0, 3840, 1440));
        EXPECT_EQ (area (1), juce::Rectangle<int> (-1280, 200, 1280, 1024));
        EXPECT_EQ (area (2), juce::Rectangle<int> (0, 0, 2560, 1440));
    }

    ASSERT_TRUE (source.getMainDisplay().has_value());
    EXPECT_EQ (source.getMainDisplay()->area, juce::Rectangle<int> (0, 0, 2560, 1440));

    // The sandbox's Xvfb has one 1920 x 1080 screen, the main display.
    ASSERT_NE (std::getenv ("DISPLAY"), nullptr);
    EXPECT_EQ (DisplaySource::desktop().getTotalArea(), juce::Rectangle<int> (0, 0, 1920, 1080));
    ASSERT_TRUE (DisplaySource::desktop().getMainDisplay().has_value());
}

TEST (MonitorInfo, PropertyValuesOfAnyTypeReadAsIntsSafely)
{
    EXPECT_EQ (propertyAsInt (1920), 1920);
    EXPECT_EQ (propertyAsInt ("  -120px"), -120);
    EXPECT_EQ (propertyAsInt ("-2147483648"), std::numeric_limits<int>::min());
    EXPECT_EQ (propertyAsInt ({}), 0);
    EXPECT_EQ (propertyAsInt (1.0e214), std::numeric_limits<int>::max());
    EXPECT_EQ (propertyAsInt (-1.0e214), std::numeric_limits<int>::min());
    EXPECT_EQ (propertyAsInt (std::nan ("")), 0);
    EXPECT_EQ (propertyAsInt (12.9), 12);
    EXPECT_EQ (propertyAsInt (true), 1);
    EXPECT_EQ (propertyAsInt (juce::var (juce::Array<juce::var> { 1, 2 })), 0);

    juce::ValueTree tree ("machineInfo");
    auto total = rectangleTree ("totalArea", 0, 0, 0, 0);
    total.setProperty ("width", 1.0e214, nullptr);
    total.setProperty ("height", "1080", nullptr);
    tree.appendChild (total, nullptr);
    juce::RectangleList<int> monitors;
    juce::Rectangle<int> area;
    decodeMonitorInfo (monitors, area, tree);
    EXPECT_EQ (area.getWidth(), std::numeric_limits<int>::max());
    EXPECT_EQ (area.getHeight(), 1080);
}
