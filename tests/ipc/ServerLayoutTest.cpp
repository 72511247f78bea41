#include "support/ServerFixture.h"

#include "core/Logging.h"
#include "ipc/AutoLayout.h"

#include <limits>

TEST (AutoLayout, HalvesTruncateAndHostileSizesDoNotOverflow)
{
    auto odd = AutoLayout::compute ({ { 1001, 777 } });   // content 1201 x 932
    EXPECT_EQ (odd.places, (std::vector<juce::Point<int>> { { 100, 78 } }));
    EXPECT_EQ (AutoLayout::compute ({}).contentWidth, 0);

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
        bool const tenIsLower = computeMachineID ("192.168.77.10") < computeMachineID ("192.168.77.2");
        lowIP = tenIsLower ? "192.168.77.10" : "192.168.77.2";
        highIP = tenIsLower ? "192.168.77.2" : "192.168.77.10";
    }

    static juce::String place (int id, int x, int y)
    {
        return "Display position ID: " + juce::String (id) + " x: " + juce::String (x) + " y: " + juce::String (y);
    }

    /** The "Resize" and "Display position" texts a machine is told while another
        joins, up to the joiner's "machineInfo", which comes after the layout was stored. */
    static juce::StringArray layoutTexts (Peer& m)
    {
        juce::StringArray kept;

        for (auto const& text : m.tcp->readTextsUntil ("machineInfo"))
            if (text.startsWith ("Resize") || text.startsWith ("Display position"))
                kept.add (text);

        return kept;
    }

    static juce::String layouts() { return settings().getValue ("LAYOUTS"); }

    /** A machine as a stored layout holds it. */
    static juce::String stored (juce::String const& ip, int x, int y, int width, int height)
    {
        return "<MACHINE IP=\"" + ip + "\" OS=\"MAC\" x=\"" + juce::String (x) + "\" y=\"" + juce::String (y)
                 + "\" width=\"" + juce::String (width) + "\" height=\"" + juce::String (height) + "\"/>";
    }

    /** A stored layout's machines, sorted by address text. */
    juce::String sorted (juce::String const& lowMachine, juce::String const& highMachine) const
    {
        return lowIP.endsWith ("10") ? lowMachine + highMachine : highMachine + lowMachine;
    }
};

TEST_F (ServerLayouts, AutomaticStoredRestoredAfterADragAndAppendedForAnotherDesktop)
{
    settings().setValue ("LAYOUTS", "<LAYOUTS><LAYOUT");   // does not parse: as if nothing were stored
    startServer();

    // One machine is centred, and nothing is stored.
    auto low = accept (lowIP);
    low.connect();
    low.send ("Operating system: MAC");
    low.send (monitorTree (true, 1920, 1080));
    EXPECT_EQ (low.tcp->readText(), "Resize content component width: 2304 height: 1296");
    EXPECT_EQ (low.tcp->readText(), place (low.id, 192, 108));
    EXPECT_EQ (layouts(), "<LAYOUTS><LAYOUT");

    // Two are lined up, and the layout is stored.
    auto high = join (highIP, 1440, 900);
    EXPECT_EQ (layoutTexts (low), juce::StringArray ("Resize content component width: 4032 height: 2376",
                                                     place (low.id, 403, 648), place (high.id, 2323, 648)));
    auto const automatic = sorted (stored (lowIP, 403, 648, 1920, 1080), stored (highIP, 2323, 648, 1440, 900));
    EXPECT_EQ (layouts(), "<LAYOUTS><LAYOUT contentComponent_width=\"4032\" contentComponent_height=\"2376\">"
                            + automatic + "</LAYOUT></LAYOUTS>");

    // The dragged machine leaves: the one left is centred, then told of the removal.
    low.send ("Machine moved ID: " + juce::String (high.id) + " x: 100 y: 50");
    low.tcp->drain();
    high.tcp->close();
    EXPECT_EQ (low.tcp->readTextsUntil (high.removal()),
               juce::StringArray ("Resize content component width: 2304 height: 1296", place (low.id, 192, 108), high.removal()));

    // It comes back: the stored layout is restored.
    auto back = join (highIP, 1440, 900);
    EXPECT_EQ (layoutTexts (low), juce::StringArray ("Resize content component width: 4032 height: 2376",
                                                     place (low.id, 403, 648), place (back.id, 100, 50)));

    // It comes back with another desktop size: automatic layout, and a second layout is appended.
    back.tcp->close();
    low.tcp->readTextsUntil (back.removal());
    auto resized = join (highIP, 1280, 800);
    EXPECT_EQ (layoutTexts (low), juce::StringArray ("Resize content component width: 3840 height: 2256",
                                                     place (low.id, 384, 588), place (resized.id, 2304, 588)));
    EXPECT_EQ (layouts(), "<LAYOUTS><LAYOUT contentComponent_width=\"4032\" contentComponent_height=\"2376\">"
                            + sorted (stored (lowIP, 403, 648, 1920, 1080), stored (highIP, 100, 50, 1440, 900))
                            + "</LAYOUT><LAYOUT contentComponent_width=\"3840\" contentComponent_height=\"2256\">"
                            + sorted (stored (lowIP, 384, 588, 1920, 1080), stored (highIP, 2304, 588, 1280, 800))
                            + "</LAYOUT></LAYOUTS>");
}

TEST_F (ServerLayouts, FirstMatchWinsAndALayoutWithoutContentSizeIsKept)
{
    auto const first = sorted (stored (lowIP, 7, 1, 1920, 1080), stored (highIP, 8, 1, 1440, 900));
    settings().setValue ("LAYOUTS", "<LAYOUTS><LAYOUT>" + first + "</LAYOUT><LAYOUT contentComponent_width=\"9\" contentComponent_height=\"9\">"
                                      + sorted (stored (lowIP, 5, 1, 1920, 1080), stored (highIP, 6, 1, 1440, 900)) + "</LAYOUT></LAYOUTS>");
    startServer();
    auto low = join (lowIP, 1920, 1080);
    auto high = join (highIP, 1440, 900);
    EXPECT_EQ (layoutTexts (low), juce::StringArray ("Resize content component width: 0 height: 0", place (low.id, 7, 1), place (high.id, 8, 1)));

    // The saves that follow cannot replace the layout without a content size: one is appended.
    EXPECT_TRUE (layouts().startsWith ("<LAYOUTS><LAYOUT>" + first + "</LAYOUT><LAYOUT contentComponent_width=\"9\""));
    EXPECT_TRUE (layouts().endsWith ("<LAYOUT contentComponent_width=\"0\" contentComponent_height=\"0\">" + first + "</LAYOUT></LAYOUTS>"));
}

TEST_F (ServerLayouts, AnOperatingSystemTextBeyondAnyRealOneIsNeitherKeptNorLogged)
{
    startServer();
    auto const huge = juce::String::repeatedString ("W", 1000000);
    auto low = join (lowIP, 1920, 1080, huge);
    auto high = join (highIP, 1440, 900, juce::String::repeatedString ("M", Machine::maxFieldLength));
    layoutTexts (low);   // the layout is made (and stored) before the new machine is announced

    // The stored layout holds the refused system as unknown, the other one whole.
    EXPECT_EQ (layouts(), "<LAYOUTS><LAYOUT contentComponent_width=\"4032\" contentComponent_height=\"2376\">"
                            + sorted (stored (lowIP, 403, 648, 1920, 1080).replace ("OS=\"MAC\"", "OS=\"\""),
                                      stored (highIP, 2323, 648, 1440, 900).replace ("OS=\"MAC\"", "OS=\"" + juce::String::repeatedString ("M", Machine::maxFieldLength) + "\""))
                            + "</LAYOUT></LAYOUTS>");
    EXPECT_TRUE (log->contains ("Server: refusing the operating system " + huge.substring (0, Logging::maxExcerptLength) + "... (1000000 characters)"));

    for (auto const& line : log->getLines())
        EXPECT_LT (line.length(), 2 * Logging::maxExcerptLength) << line.substring (0, 100);
}

// A desktop no machine has (a member once announced 800 x 1,694,499,416) is
// neither laid out nor forwarded: laid out, it made every view that tall.
TEST_F (ServerLayouts, ADesktopBeyondAnyRealOneIsRefused)
{
    startServer();
    auto low = join (lowIP, 1920, 1080), high = join (highIP, 800, 600);
    low.tcp->drain();
    high.send (monitorTree (false, 800, 1694499416));
    EXPECT_TRUE (low.tcp->isSilentFor (500));
}
