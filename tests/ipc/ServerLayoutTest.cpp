#include "ServerPeers.h"

#include "app/SingletonApplicationProperties.h"
#include "ipc/AutoLayout.h"
#include "ipc/Machine.h"

#include <limits>

using namespace ServerPeers;

TEST (AutoLayout, CentresALoneMachineAndLinesUpSeveral)
{
    auto one = AutoLayout::compute ({ { 1920, 1080 } });
    EXPECT_EQ (juce::Point<int> (one.contentWidth, one.contentHeight), juce::Point<int> (2304, 1296));
    EXPECT_EQ (one.places, (std::vector<juce::Point<int>> { { 192, 108 } }));

    auto two = AutoLayout::compute ({ { 1920, 1080 }, { 1440, 900 } });
    EXPECT_EQ (juce::Point<int> (two.contentWidth, two.contentHeight), juce::Point<int> (4032, 2376));
    EXPECT_EQ (two.places, (std::vector<juce::Point<int>> { { 403, 648 }, { 2323, 648 } }));

    auto odd = AutoLayout::compute ({ { 1001, 777 } });   // 1201 x 932: halves truncate
    EXPECT_EQ (odd.places, (std::vector<juce::Point<int>> { { 100, 78 } }));

    auto none = AutoLayout::compute ({});
    EXPECT_EQ (none.contentWidth + none.contentHeight, 0);

    // Sizes a hostile peer sends: no overflow (the sanitizer build would stop here).
    auto constexpr big = std::numeric_limits<int>::max();
    EXPECT_EQ (AutoLayout::compute ({ { big, -big } }).contentWidth, big);
    EXPECT_EQ (AutoLayout::compute ({ { big, big }, { big, 1 }, { -big, big } }).places.size(), 3u);
}

/** Two machines at addresses whose texts sort the other way round from their IDs' numbers or not. */
struct ServerLayouts : ServerFixture
{
    juce::String lowIP, highIP;   // lower and higher machine ID

    void SetUp() override
    {
        ServerFixture::SetUp();
        bool tenIsLower = computeMachineID ("192.168.77.10") < computeMachineID ("192.168.77.2");
        lowIP = tenIsLower ? "192.168.77.10" : "192.168.77.2";
        highIP = tenIsLower ? "192.168.77.2" : "192.168.77.10";
    }

    static std::string place (int id, int x, int y)
    {
        return "Display position ID: " + std::to_string (id) + " x: " + std::to_string (x) + " y: " + std::to_string (y);
    }

    /** What a machine is told while another joins: the payloads that start with
        "Resize" or "Display position", in order, up to the joiner's "machineInfo",
        which comes after the layout has been stored. */
    static std::vector<std::string> layoutMessages (Joined& m)
    {
        std::vector<std::string> kept;

        while (auto payload = m.tcp->receive())
        {
            if (payload->rfind ("machineInfo", 0) == 0)
                break;

            if (payload->rfind ("Resize", 0) == 0 || payload->rfind ("Display position", 0) == 0)
                kept.push_back (*payload);
        }

        return kept;
    }

    static void setLayouts (juce::String const& text)
    {
        SingletonApplicationProperties::get().getUserSettings()->setValue ("LAYOUTS", text);
    }
};

TEST_F (ServerLayouts, AutomaticLayoutIsStoredSortedByAddressText)
{
    setLayouts ("<LAYOUTS><LAYOUT");   // does not parse: as if nothing were stored
    startServer();

    auto low = accept (lowIP);
    low.tcp = std::make_unique<FramePeer> (lowIP);
    low.tcp->send ("Operating system: MAC");
    low.tcp->send (monitorTree (true, 1920, 1080));
    EXPECT_EQ (low.tcp->receive().value_or (""), "Resize content component width: 2304 height: 1296");
    EXPECT_EQ (low.tcp->receive().value_or (""), place (low.id, 192, 108));
    EXPECT_EQ (storedLayouts(), "<LAYOUTS><LAYOUT");   // one machine: nothing stored

    auto high = join (highIP, 1440, 900);
    EXPECT_EQ (layoutMessages (low),
               (std::vector<std::string> { "Resize content component width: 4032 height: 2376",
                                           place (low.id, 403, 648), place (high.id, 2323, 648) }));

    auto machine = [] (juce::String const& ip, int x, int w, int h)
    {
        return "<MACHINE IP=\"" + ip + "\" OS=\"MAC\" x=\"" + juce::String (x) + "\" y=\"648\" width=\""
                 + juce::String (w) + "\" height=\"" + juce::String (h) + "\"/>";
    };
    auto const ten = lowIP.endsWith ("10") ? machine (lowIP, 403, 1920, 1080) : machine (highIP, 2323, 1440, 900);
    auto const two = lowIP.endsWith ("10") ? machine (highIP, 2323, 1440, 900) : machine (lowIP, 403, 1920, 1080);
    EXPECT_EQ (storedLayouts(), "<LAYOUTS><LAYOUT contentComponent_width=\"4032\" contentComponent_height=\"2376\">"
                                  + ten + two + "</LAYOUT></LAYOUTS>");
}

TEST_F (ServerLayouts, RestoredAfterADragAndAppendedWhenADesktopDiffers)
{
    startServer();
    auto low = join (lowIP, 1920, 1080);
    auto high = join (highIP, 1440, 900);
    drain ({ &low });
    low.tcp->send ("Machine moved ID: " + juce::String (high.id) + " x: 100 y: 50");
    drain ({ &low, &high });

    // The dragged machine leaves: the one left is centred, then told of the removal.
    high.tcp->close();
    auto const removal = "Remove machine IP: " + highIP.toStdString() + " port: " + std::to_string (high.port)
                           + " ID: " + std::to_string (high.id);
    auto seen = low.tcp->receiveUntil (removal);
    ASSERT_EQ (seen.size(), 3u);
    EXPECT_EQ (seen[0], "Resize content component width: 2304 height: 1296");
    EXPECT_EQ (seen[1], place (low.id, 192, 108));

    // It comes back: the stored layout is found although its places differ.
    auto back = join (highIP, 1440, 900);
    EXPECT_EQ (layoutMessages (low),
               (std::vector<std::string> { "Resize content component width: 4032 height: 2376",
                                           place (low.id, 403, 648), place (back.id, 100, 50) }));
    EXPECT_TRUE (log->mentions ("Server: found stored layout"));

    // It comes back with another desktop size: automatic layout, and a second layout is stored.
    back.tcp->close();
    low.tcp->receiveUntil ("Remove machine IP: " + highIP.toStdString() + " port: " + std::to_string (back.port)
                             + " ID: " + std::to_string (back.id));
    auto resized = join (highIP, 1280, 800);
    EXPECT_EQ (layoutMessages (low),
               (std::vector<std::string> { "Resize content component width: 3840 height: 2256",
                                           place (low.id, 384, 588), place (resized.id, 2304, 588) }));
    auto const stored = storedLayouts();
    EXPECT_EQ (stored.length() - stored.replace ("<LAYOUT ", "").length(), 2 * 8);
    EXPECT_LT (stored.indexOf ("x=\"100\" y=\"50\" width=\"1440\""), stored.indexOf ("width=\"1280\" height=\"800\""));
}

TEST_F (ServerLayouts, FirstMatchWinsAndAStoredLayoutWithoutContentSizeIsKept)
{
    auto const sorted = [this] (juce::String const& lowMachine, juce::String const& highMachine)
    {
        return lowIP.endsWith ("10") ? lowMachine + highMachine : highMachine + lowMachine;
    };
    auto const lowAt = [this] (int x) { return "<MACHINE IP=\"" + lowIP + "\" OS=\"MAC\" x=\"" + juce::String (x) + "\" y=\"1\" width=\"1920\" height=\"1080\"/>"; };
    auto const highAt = [this] (int x) { return "<MACHINE IP=\"" + highIP + "\" OS=\"MAC\" x=\"" + juce::String (x) + "\" y=\"1\" width=\"1440\" height=\"900\"/>"; };

    setLayouts ("<LAYOUTS><LAYOUT>" + sorted (lowAt (7), highAt (8)) + "</LAYOUT>"
                  "<LAYOUT contentComponent_width=\"9\" contentComponent_height=\"9\">" + sorted (lowAt (5), highAt (6))
                  + "</LAYOUT></LAYOUTS>");
    startServer();
    auto low = join (lowIP, 1920, 1080);
    auto high = join (highIP, 1440, 900);

    EXPECT_EQ (layoutMessages (low),
               (std::vector<std::string> { "Resize content component width: 0 height: 0", place (low.id, 7, 1), place (high.id, 8, 1) }));

    // The saves that follow cannot replace the layout without a content size: one is appended.
    auto const stored = storedLayouts();
    EXPECT_TRUE (stored.startsWith ("<LAYOUTS><LAYOUT>" + sorted (lowAt (7), highAt (8)) + "</LAYOUT><LAYOUT contentComponent_width=\"9\""));
    EXPECT_TRUE (stored.endsWith ("<LAYOUT contentComponent_width=\"0\" contentComponent_height=\"0\">"
                                  + sorted (lowAt (7), highAt (8)) + "</LAYOUT></LAYOUTS>"));
}
