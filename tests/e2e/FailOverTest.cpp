// Fail-over: the backup takes over when the server's machine is lost, the
// remaining machine rejoins it within five seconds, and control still crosses
// between the two.
#include "e2e/WholeProgramTest.h"

using FailOver = WholeProgramTest;

TEST_F (FailOver, TheBackupTakesOverTheOthersRejoinAndControlStillCrosses)
{
    auto& a = machine ("A", 1920, 1080);
    auto& b = machine ("B", 1440, 900);
    auto& c = machine ("C", 1280, 1024);

    // With A: A, then B to its right, C below B. Without A: C below B.
    auto const layouts = StoredLayout::toXml ({ { 4400, 2700, { { &a, 400, 300 }, { &b, 2320, 300 }, { &c, 2320, 1200 } } },
                                                { 2200, 2700, { { &b, 400, 300 }, { &c, 400, 1200 } } } });

    for (auto* m : { &a, &b, &c })
        m->writeSettings (clusterID, layouts.get());

    ASSERT_TRUE (startInTurn ({ &a, &b, &c }));   // B joined first after A: the backup

    auto const markB = b.logLength(), markC = c.logLength();
    a.kill();
    auto const killed = juce::Time::getMillisecondCounter();

    EXPECT_TRUE (b.waitForLog ("Starting IPC server...", 10000, markB)) << "B did not take over";
    ASSERT_TRUE (knows (c, b, markC, 10000) && knows (c, c, markC, 1000)) << "C did not rejoin";
    auto const rejoinedMs = juce::Time::getMillisecondCounter() - killed;
    EXPECT_LE (rejoinedMs, 5000u) << "C rejoined only after " << rejoinedMs << " ms";
    ASSERT_TRUE (knows (b, c, markB) && knows (b, b, markB));
    ASSERT_TRUE (tapsRun ({ &b }, markB) && tapsRun ({ &c }, markC));

    // B drives C across its bottom edge, and C drives B across its top edge.
    ASSERT_TRUE (c.run ("focus"));
    ASSERT_TRUE (crossInto (b, { 720, 880 }, { 720, 899 }, c));
    ASSERT_TRUE (b.moveBy (0, 20));
    EXPECT_TRUE (pointerComesTo (c, { 720, 29 }, 1));
    ASSERT_TRUE (b.tap (Keys::a));
    EXPECT_EQ (inputArriving (c, "K38/0 k38/0"), "K38/0 k38/0");
    EXPECT_EQ (b.takeInput(), "");

    auto const mark = b.logLength();
    ASSERT_TRUE (moveUntil (b, 0, -40, [&] { return b.readLog().indexOf (mark, "switchBackOccured") >= 0; }));

    ASSERT_TRUE (b.run ("focus"));
    ASSERT_TRUE (crossInto (c, { 640, 20 }, { 640, 0 }, b));
    ASSERT_TRUE (c.moveBy (0, -20));
    EXPECT_TRUE (pointerComesTo (b, { 640, 870 }, 1));
    ASSERT_TRUE (c.tap (Keys::s));
    EXPECT_EQ (inputArriving (b, "K39/0 k39/0"), "K39/0 k39/0");
}
