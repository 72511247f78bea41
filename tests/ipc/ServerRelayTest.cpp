#include "support/ServerFixture.h"

using Texts = std::vector<juce::String>;

/** Three connected machines; a runs "WIN". */
struct ServerRelay : ServerFixture
{
    Peer a, b, c;

    void SetUp() override
    {
        ServerFixture::SetUp();
        startServer();
        a = join ("192.168.77.2", 1920, 1080, "WIN");
        b = join ("192.168.77.3");
        c = join ("192.168.77.4");

        for (auto* m : { &a, &b, &c })
            m->tcp->drain();
    }

    /** Sends 'text' from 'from': each machine receives exactly what is listed for it, in order. */
    void expect (Peer& from, juce::String const& text, Texts const& toA, Texts const& toB, Texts const& toC)
    {
        SCOPED_TRACE (text);
        from.send (text);

        for (auto [peer, expected] : { std::pair { &a, &toA }, std::pair { &b, &toB }, std::pair { &c, &toC } })
        {
            for (auto const& payload : *expected)
                EXPECT_EQ (peer->tcp->readText(), payload) << "to " << peer->ip;

            EXPECT_EQ (peer->tcp->readText (150), "(nothing)") << "to " << peer->ip;
        }
    }
};

TEST_F (ServerRelay, MovesModesAndAnnouncementsWithTheirEdgeCases)
{
    auto const id = [] (Peer const& m) { return juce::String (m.id); };
    auto const moved = "Display position ID: " + id (b) + " x: 100 y: 0";
    expect (c, "Machine moved ID: " + id (b) + " x: 100 y: 0", { moved }, { moved }, {});
    expect (c, "Machine moved ID: 5 x: 1 y: 1", {}, {}, {});   // no record

    auto const receivingB = "Current receiving ID: " + id (b);
    expect (a, "Mode change receiving ID: -1", {}, {}, {});   // -1 already
    expect (a, "Mode change receiving ID: " + id (b), { receivingB }, { "Switch mode: receiving from OS: WIN", receivingB }, { receivingB });
    expect (a, "Mode change receiving ID: " + id (b), {}, { "Switch mode: receiving from OS: WIN" }, {});
    expect (a, "Mode change receiving ID: -1", { "Current receiving ID: -1" }, { "Current receiving ID: -1" }, { "Current receiving ID: -1" });
    expect (a, "Mode change receiving ID: 77", {}, {}, {});   // no such machine

    auto known = accept ("192.168.77.9");   // known, never connected: told nothing, still announced
    auto const receivingKnown = "Current receiving ID: " + id (known);
    expect (a, "Mode change receiving ID: " + id (known), { receivingKnown }, { receivingKnown }, { receivingKnown });
    expect (a, "Mode change idle ID: " + id (b), {}, { "Switch mode: idle" }, {});

    auto const inputA = "Current input ID: " + id (a);
    expect (a, inputA, { inputA }, { inputA }, { inputA });
    expect (b, inputA, {}, {}, {});   // no change, no announcement
    auto const inputB = "Current input ID: " + id (b);
    expect (b, "Current input ID:" + id (b), { inputB }, { inputB }, { inputB });
}

// A switch from a machine whose input is no longer in use is stale: another
// machine's user took over while its pointer was coming home, and obeying it
// would idle the machine that drives now, or the one it drives.
TEST_F (ServerRelay, SwitchesFromAMachineWhoseInputIsNotInUseAreStale)
{
    auto const id = [] (Peer const& m) { return juce::String (m.id); };
    auto const inputA = "Current input ID: " + id (a), inputB = "Current input ID: " + id (b);
    auto const receivingC = "Current receiving ID: " + id (c), receivingA = "Current receiving ID: " + id (a);
    expect (a, inputA, { inputA }, { inputA }, { inputA });
    expect (a, "Mode change receiving ID: " + id (c), { receivingC }, { receivingC }, { "Switch mode: receiving from OS: WIN", receivingC });

    expect (b, inputB, { inputB }, { inputB }, { inputB });
    expect (b, "Mode change receiving ID: " + id (a), { "Switch mode: receiving from OS: MAC", receivingA }, { receivingA }, { receivingA });
    expect (a, "Mode change idle ID: " + id (c), {}, {}, {});
    expect (a, "Mode change receiving ID: -1", {}, {}, {});
    expect (b, "Mode change idle ID: " + id (a), { "Switch mode: idle" }, {}, {});
}

TEST_F (ServerRelay, ClipboardControlAndJumpsGoToTheirMachinesOnly)
{
    auto const fromA = "from ID1: " + juce::String (a.id), toB = " to ID2: " + juce::String (b.id);
    expect (a, "Send clipboard from ID1: 3" + toB, {}, {}, {});
    expect (a, "Send clipboard " + fromA + " to ID2: 3", { "Send clipboard to ID: 3" }, {}, {});
    expect (a, "Send clipboard " + fromA + toB, { "Send clipboard to ID: " + juce::String (b.id) }, { "Empty your clipboard" }, {});
    expect (a, "Send dragged file " + fromA + " to ID2: 3", {}, {}, {});
    expect (a, "Send dragged file " + fromA + toB, { "Send dragged file to ID: " + juce::String (b.id) }, {}, {});

    auto const route = "Route clipboard to ID: " + juce::String (b.id) + " content: ";
    expect (a, route + "x content: y", {}, { "Copy to clipboard: x content: y" }, {});
    expect (a, route, {}, { "Copy to clipboard: " }, {});

    expect (c, "Start control from " + juce::String (a.id) + " to 3", { "Prepare local and remote: 3" }, {}, {});
    expect (c, "Request jump to middle: " + juce::String (b.id), {}, { "Jump to middle" }, {});
    expect (c, "Take back control: " + juce::String (a.id), { "Take back control" }, {}, {});

    // Texts that match no keyword, and trees the server does not read.
    expect (c, "Send monitors ", {}, {}, {});
    expect (c, "Take back control:", {}, {}, {});
    c.send (juce::ValueTree ("machineInfo"));
    EXPECT_TRUE (a.tcp->isSilentFor());
}

TEST_F (ServerRelay, AChangedDesktopIsTheSendersAndIsForwardedAsReceived)
{
    auto changed = monitorTree (false, 800, 600);
    changed.setProperty ("ID", a.id, nullptr);   // names another machine: not read
    changed.getChild (0).setProperty ("x", -5, nullptr);
    c.send (changed);

    for (auto* peer : { &a, &b })
    {
        juce::ValueTree forwarded;

        while (auto payload = peer->tcp->readFrame (1000))
            if (WirePeer::textOf (*payload) == "changedMonitorInfo")
                forwarded = treeOf (payload);

        EXPECT_EQ ((int) forwarded["ID"], c.id);
        EXPECT_EQ ((int) forwarded.getChild (0)["x"], -5);   // the machine's own desktop, not its place
        EXPECT_EQ ((int) forwarded.getChild (0)["width"], 800);
    }

    EXPECT_FALSE (c.tcp->readTextsUntil ("changedMonitorInfo", 300).contains ("changedMonitorInfo"));

    a.send ("Send monitors");

    for (int i = 0; i < 3; ++i)
    {
        auto tree = treeOf (a.tcp->readFrame (3000));
        EXPECT_EQ ((int) tree.getChild (0)["width"], (int) tree["ID"] == c.id ? 800 : 1920);
    }
}
