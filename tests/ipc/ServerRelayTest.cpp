#include "ServerPeers.h"

using namespace ServerPeers;

namespace
{
std::string n (int id) { return std::to_string (id); }
}

/** Three connected machines; a runs "WIN". */
struct ServerRelay : ServerFixture
{
    Joined a, b, c;

    void SetUp() override
    {
        ServerFixture::SetUp();
        startServer();
        a = join ("192.168.77.2", 1920, 1080, "WIN");
        b = join ("192.168.77.3");
        c = join ("192.168.77.4");
        drain ({ &a, &b, &c });
    }

    /** Sends 'text' from 'from': every machine receives exactly what is listed for it, in order. */
    void expect (Joined& from, juce::String const& text, std::vector<std::string> const& toA,
                 std::vector<std::string> const& toB, std::vector<std::string> const& toC)
    {
        SCOPED_TRACE (text);
        from.tcp->send (text);

        for (auto [peer, expected] : { std::pair { &a, &toA }, std::pair { &b, &toB }, std::pair { &c, &toC } })
        {
            for (auto const& payload : *expected)
                EXPECT_EQ (peer->tcp->receive().value_or ("(nothing)"), payload) << "to " << peer->ip;

            EXPECT_TRUE (peer->tcp->silentFor (150)) << "to " << peer->ip;
        }
    }
};

TEST_F (ServerRelay, MovesModesAndAnnouncementsWithTheirEdgeCases)
{
    auto const moved = "Display position ID: " + n (b.id) + " x: 100 y: 0";
    expect (c, "Machine moved ID: " + juce::String (b.id) + " x: 100 y: 0", { moved }, { moved }, {});
    EXPECT_TRUE (storedLayouts().contains ("IP=\"192.168.77.3\" OS=\"MAC\" x=\"100\" y=\"0\""));
    expect (c, "Machine moved ID: 5 x: 1 y: 1", {}, {}, {});

    auto const receivingB = "Current receiving ID: " + n (b.id);
    expect (a, "Mode change receiving ID: -1", {}, {}, {});   // -1 already
    expect (a, "Mode change receiving ID: " + juce::String (b.id), { receivingB },
            { "Switch mode: receiving from OS: WIN", receivingB }, { receivingB });
    expect (a, "Mode change receiving ID: " + juce::String (b.id), {}, { "Switch mode: receiving from OS: WIN" }, {});
    expect (a, "Mode change receiving ID: -1", { "Current receiving ID: -1" }, { "Current receiving ID: -1" },
            { "Current receiving ID: -1" });
    expect (a, "Mode change receiving ID: 77", {}, {}, {});   // no such machine

    auto known = accept ("192.168.77.9");   // known, never connected: told nothing, still announced
    auto const receivingKnown = "Current receiving ID: " + n (known.id);
    expect (a, "Mode change receiving ID: " + juce::String (known.id), { receivingKnown }, { receivingKnown }, { receivingKnown });
    expect (a, "Mode change idle ID: " + juce::String (b.id), {}, { "Switch mode: idle" }, {});

    auto const inputA = "Current input ID: " + n (a.id);
    expect (a, "Current input ID: " + juce::String (a.id), { inputA }, { inputA }, { inputA });
    expect (b, "Current input ID: " + juce::String (a.id), {}, {}, {});   // no change, no announcement
    EXPECT_EQ (log->countMentioning ("Server: send and set currentInputID to " + juce::String (a.id)), 1);
    auto const inputB = "Current input ID: " + n (b.id);
    expect (b, "Current input ID:" + juce::String (b.id), { inputB }, { inputB }, { inputB });
}

TEST_F (ServerRelay, ClipboardControlAndJumpsGoToTheirMachinesOnly)
{
    auto const ab = " to ID2: " + juce::String (b.id);
    expect (a, "Send clipboard from ID1: 3" + ab, {}, {}, {});
    expect (a, "Send clipboard from ID1: " + juce::String (a.id) + " to ID2: 3", { "Send clipboard to ID: 3" }, {}, {});
    expect (a, "Send clipboard from ID1: " + juce::String (a.id) + ab, { "Send clipboard to ID: " + n (b.id) },
            { "Empty your clipboard" }, {});
    expect (a, "Send dragged file from ID1: " + juce::String (a.id) + " to ID2: 3", {}, {}, {});
    expect (a, "Send dragged file from ID1: " + juce::String (a.id) + ab, { "Send dragged file to ID: " + n (b.id) }, {}, {});

    auto const route = "Route clipboard to ID: " + juce::String (b.id) + " content: ";
    expect (a, route + "x content: y", {}, { "Copy to clipboard: x content: y" }, {});
    expect (a, route, {}, { "Copy to clipboard: " }, {});

    expect (c, "Start control from " + juce::String (a.id) + " to 3", { "Prepare local and remote: 3" }, {}, {});
    expect (c, "Request jump to middle: " + juce::String (b.id), {}, { "Jump to middle" }, {});
    expect (c, "Take back control: " + juce::String (a.id), { "Take back control" }, {}, {});

    // Texts that match no keyword, and trees the server does not read.
    expect (c, "Send monitors ", {}, {}, {});
    expect (c, "Take back control:", {}, {}, {});
    c.tcp->send (juce::ValueTree ("machineInfo"));
    EXPECT_TRUE (a.tcp->silentFor());
}

TEST_F (ServerRelay, AChangedDesktopIsTheSendersAndIsForwardedAsReceived)
{
    auto changed = monitorTree (false, 800, 600);
    changed.setProperty ("ID", a.id, nullptr);   // names another machine: not read
    changed.getChild (0).setProperty ("x", -5, nullptr);
    c.tcp->send (changed);

    for (auto* peer : { &a, &b })
    {
        juce::ValueTree forwarded;

        while (auto payload = peer->tcp->receive (1000))
            if (treeOf (*payload).hasType ("changedMonitorInfo"))
                forwarded = treeOf (*payload);

        EXPECT_EQ ((int) forwarded["ID"], c.id);
        EXPECT_EQ ((int) forwarded.getChild (0)["x"], -5);   // the machine's own desktop, not its place
        EXPECT_EQ ((int) forwarded.getChild (0)["width"], 800);
    }

    while (auto payload = c.tcp->receive (300))
        EXPECT_FALSE (treeOf (*payload).hasType ("changedMonitorInfo"));

    a.tcp->send ("Send monitors");
    for (int i = 0; i < 3; ++i)
    {
        auto tree = treeOf (a.tcp->receive().value_or (""));
        EXPECT_EQ ((int) tree.getChild (0)["width"], (int) tree["ID"] == c.id ? 800 : 1920);
    }
}
