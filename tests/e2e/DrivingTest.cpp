// The main road: the pointer crosses into the next machine, the keyboard and
// the buttons follow it there and nowhere else, control passes on around the
// cluster and comes home, and the clipboard follows control.
#include "e2e/WholeProgramTest.h"

#include <map>

class Driving : public WholeProgramTest
{
protected:
    // A (1920 x 1080) with B (1440 x 900) directly to its right, their tops
    // level, and C (1280 x 1024) directly below B.
    SimulatedMachine* a = nullptr;
    SimulatedMachine* b = nullptr;
    SimulatedMachine* c = nullptr;

    void startCluster (bool withC)
    {
        a = &machine ("A", 1920, 1080);
        b = &machine ("B", 1440, 900);
        std::vector<StoredLayout::Place> places { { a, 400, 300 }, { b, 2320, 300 } };

        if (withC)
        {
            c = &machine ("C", 1280, 1024);
            places.push_back ({ c, 2320, 1200 });
        }

        auto const layouts = StoredLayout::toXml ({ { 4400, 2700, places } });

        for (auto const& place : places)
            const_cast<SimulatedMachine*> (place.machine)->writeSettings (clusterID, layouts.get());

        ASSERT_TRUE (withC ? startInTurn ({ a, b, c }) : startInTurn ({ a, b }));
        ASSERT_TRUE (withC ? tapsRun ({ a, b, c }) : tapsRun ({ a, b }));
    }

    // Pushes A's pointer into its right edge at height y: B's pointer then
    // comes in at B's left edge, 9 pixels in, at the same height. The next
    // move follows at once, while A's pointer may still be at the edge.
    void crossFromAToB (int y)
    {
        ASSERT_TRUE (crossInto (*a, { 1900, y }, { 1919, y }, *b));
        ASSERT_TRUE (a->moveBy (5, 0));
        ASSERT_TRUE (pointerComesTo (*b, { 14, y }, 1));
        EXPECT_TRUE (pointerComesTo (*a, { 960, 540 }, 5)) << "A's pointer rests in the middle of its display";
    }
};

TEST_F (Driving, TheKeyboardAndMouseCrossTheEdgeDriveTheNextMachineAndComeHome)
{
    startCluster (false);
    ASSERT_TRUE (b->run ("focus"));
    crossFromAToB (540);

    // Moves follow, fast ones too: a flick of 100 one-pixel moves a millisecond apart.
    ASSERT_TRUE (a->moveBy (100, 50));
    EXPECT_TRUE (pointerComesTo (*b, { 114, 590 }, 1));
    ASSERT_TRUE (a->run ("stream moves 100 1000 1 0 0") && a->ask ("stream-result"));
    EXPECT_TRUE (pointerComesTo (*b, { 214, 590 }, 1)) << "motion was lost on the way";

    // A burst of a thousand one-pixel moves, there and back, as other
    // programs inject them: neither lost nor invented, also where B's
    // receiver falls behind and drops datagrams. One that runs on into B's
    // right edge stops there, and the way back starts from the edge.
    ASSERT_TRUE (a->run ("stream moves 1000 0 1 0 0") && a->ask ("stream-result"));
    EXPECT_TRUE (pointerComesTo (*b, { 1214, 590 }, 0)) << "a burst went astray";
    ASSERT_TRUE (a->run ("stream moves 1000 0 -1 0 0") && a->ask ("stream-result"));
    EXPECT_TRUE (pointerComesTo (*b, { 214, 590 }, 0)) << "a burst went astray";
    ASSERT_TRUE (a->run ("stream moves 1400 0 1 0 0") && a->ask ("stream-result"));
    EXPECT_TRUE (pointerComesTo (*b, { 1439, 590 }, 0)) << "a burst into the edge went astray";
    ASSERT_TRUE (a->run ("stream moves 1225 0 -1 0 0") && a->ask ("stream-result"));
    EXPECT_TRUE (pointerComesTo (*b, { 214, 590 }, 0)) << "a burst from the edge went astray";
    ASSERT_TRUE (a->moveBy (-100, 0));
    ASSERT_TRUE (pointerComesTo (*b, { 114, 590 }, 200)) << "B's pointer went off";

    // Keys arrive in B's window and not in A's.
    for (int code : { Keys::a, Keys::s, Keys::d })
        ASSERT_TRUE (a->tap (code));

    EXPECT_EQ (inputArriving (*b, "K38/0 k38/0 K39/0 k39/0 K40/0 k40/0"), "K38/0 k38/0 K39/0 k39/0 K40/0 k40/0");
    EXPECT_EQ (a->takeInput(), "");

    // A held Shift+a gives capitals only, repeated while held; Shift comes up
    // on B at the latest with the next event (between two machines that
    // report "MAC" modifiers travel as flags), and the click after is no
    // Shift-click. A click and a double click land on B, not on A.
    ASSERT_TRUE (a->key (Keys::shift, true) && a->key (Keys::a, true));
    juce::Thread::sleep (1500);
    ASSERT_TRUE (a->key (Keys::a, false) && a->key (Keys::shift, false));
    juce::Thread::sleep (500);
    ASSERT_TRUE (a->click());
    auto const held = inputArriving (*b, [] (auto const& arrived) { return arrived.contains ("b1/256"); });
    auto const text = held.joinIntoString (" ");
    EXPECT_TRUE (text.startsWith ("K50/0 K38/1 k38/1 K38/1 k38/1 K38/1 k38/1")) << "not held, or not capitals: " << text;
    EXPECT_TRUE (text.endsWith ("K38/1 k38/1 k50/1 B1/0 b1/256")) << text;
    EXPECT_EQ (held.size() % 2, 0) << "every key that went down came up: " << text;
    EXPECT_FALSE (held.contains ("K38/0") || held.contains ("k38/0")) << "a small a arrived: " << text;

    ASSERT_TRUE (a->click() && a->click());
    EXPECT_EQ (inputArriving (*b, "B1/0 b1/256 B1/0 b1/256"), "B1/0 b1/256 B1/0 b1/256");
    EXPECT_EQ (a->takeInput(), "");

    // Back across B's left edge the pointer comes home, where it left A's
    // desktop, and A's desktop gets the input again.
    auto mark = a->logLength();
    ASSERT_TRUE (moveUntil (*a, -40, 0, [&] { return a->readLog().indexOf (mark, "switchBackOccured") >= 0; }));
    EXPECT_TRUE (pointerComesTo (*a, { 1919, 590 }));
    b->takeInput();
    ASSERT_TRUE (a->run ("focus") && a->tap (Keys::a) && a->click());
    EXPECT_EQ (inputArriving (*a, "K38/0 k38/0 B1/0 b1/256"), "K38/0 k38/0 B1/0 b1/256");
    EXPECT_EQ (b->takeInput(), "");

    // Pushed on into the same edge, where it rests, the pointer stays; a move
    // that reaches the edge from inside goes back to B.
    mark = b->logLength();
    ASSERT_TRUE (a->moveBy (5, 0));
    EXPECT_FALSE (b->waitForLog ("Got receiving mode message", 1000, mark)) << "a push from the edge A's pointer rests on crossed";
    EXPECT_TRUE (crossInto (*a, { 1900, 590 }, { 1919, 590 }, *b));
}

TEST_F (Driving, ControlPassesOnFromMachineToMachineAndHome)
{
    startCluster (true);
    crossFromAToB (540);   // the virtual cursor at 2334, 840

    // Down across B's bottom edge onto C, which lies below it.
    auto mark = c->logLength();
    ASSERT_TRUE (moveUntil (*a, 0, 40, [&] { return c->readLog().indexOf (mark, "Got receiving mode message") >= 0; }));
    ASSERT_TRUE (receives (*c, mark));
    EXPECT_TRUE (b->waitForLog ("Got idle mode message"));
    ASSERT_TRUE (a->moveBy (0, 20));
    EXPECT_TRUE (pointerComesTo (*c, { 14, 20 }, 1)) << "C's pointer comes in at its top edge";

    // Left across C's left edge: A lies there, so control comes home.
    mark = a->logLength();
    ASSERT_TRUE (moveUntil (*a, -40, 0, [&] { return a->readLog().indexOf (mark, "switchBackOccured") >= 0; }));
    EXPECT_TRUE (c->waitForLog ("Got idle mode message"));
    EXPECT_TRUE (pointerComesTo (*a, { 1919, 920 })) << "A's pointer comes in at its right edge";
}

// B's own user takes B's mouse while A drives B: control comes home to A.
// A's pointer stays where A's user moves it, A's keys reach A's desktop, and
// the next push into A's edge crosses into B again.
TEST_F (Driving, WhenTheDrivenMachinesUserTakesOverControlComesHome)
{
    startCluster (false);
    crossFromAToB (540);

    auto const mark = a->logLength();
    ASSERT_TRUE (b->moveBy (30, 0));
    ASSERT_TRUE (a->waitForLog ("App setCurrentInputID: " + juce::String (b->getID()), 10000, mark));

    auto const before = a->pointer();
    ASSERT_TRUE (before.has_value() && a->moveBy (-100, -60));
    juce::Thread::sleep (300);
    EXPECT_TRUE (pointerComesTo (*a, *before - juce::Point<int> (100, 60))) << "A's pointer is held for B";
    ASSERT_TRUE (a->run ("focus") && a->tap (Keys::a));
    EXPECT_EQ (inputArriving (*a, "K38/0 k38/0"), "K38/0 k38/0") << "A's keys are withheld";
    EXPECT_EQ (b->takeInput(), "");

    crossFromAToB (600);
}

// A drag that reaches A's edge stays on A: the button held in A's window
// keeps A's input there (its implicit grab), so the pointer does not cross,
// and a key typed during the drag and the button's release reach A alone.
// The first push after the release crosses.
TEST_F (Driving, ADragStopsAtTheEdgeAndThePushAfterItCrosses)
{
    startCluster (false);
    ASSERT_TRUE (a->run ("focus"));
    auto const since = SimulatedMachine::now();
    ASSERT_TRUE (a->moveTo ({ 1900, 540 }) && a->button (1, true));

    for (int push = 0; push < 3; ++push)
        ASSERT_TRUE (a->moveTo ({ 1910, 540 }) && a->moveTo ({ 1919, 540 }));

    EXPECT_FALSE (b->waitForLogSince ("Got receiving mode message", since, 1500)) << "the drag crossed";
    ASSERT_TRUE (a->tap (Keys::a) && a->button (1, false));
    EXPECT_EQ (inputArriving (*a, "B1/0 K38/256 k38/256 b1/256"), "B1/0 K38/256 k38/256 b1/256");
    EXPECT_EQ (b->takeInput(), "");
    crossFromAToB (540);
}

namespace
{
// A file's bytes, or each file's bytes below a folder by relative path.
std::map<juce::String, juce::MemoryBlock> contents (juce::File const& item)
{
    std::map<juce::String, juce::MemoryBlock> result;
    auto files = item.isDirectory() ? item.findChildFiles (juce::File::findFiles, true) : juce::Array<juce::File> { item };

    for (auto const& f : files)
        f.loadFileAsData (result[f.getRelativePathFrom (item.getParentDirectory())]);

    return result;
}

juce::MemoryBlock randomBytes (int size, int seed)
{
    juce::Random random (seed);
    juce::MemoryBlock block ((size_t) size);

    for (size_t i = 0; i < block.getSize(); ++i)
        block[i] = (char) random.nextInt (256);

    return block;
}
} // namespace

TEST_F (Driving, TheClipboardFollowsControlWithTextFilesAndFolders)
{
    startCluster (false);

    // Text copied on A is on B's clipboard once B is driven.
    auto const text = juce::String (juce::CharPointer_UTF8 ("Copied on A: gr\xc3\xbc\xc3\x9f" "e, \xe2\x82\xac 5\nsecond line"));
    ASSERT_TRUE (a->offerText (text)) << a->lastFailure;
    crossFromAToB (540);
    EXPECT_TRUE (eventually ([&] { return b->readClipboard().value_or (juce::MemoryBlock()).toString() == text; }))
        << "B's clipboard: " << b->readClipboard().value_or (juce::MemoryBlock()).toString();

    // Home again, the clipboard comes back; a file and a folder copied on A
    // are offered on B as files with the same bytes.
    auto mark = a->logLength();
    ASSERT_TRUE (moveUntil (*a, -40, 0, [&] { return a->readLog().indexOf (mark, "switchBackOccured") >= 0; }));
    EXPECT_TRUE (eventually ([&] { return a->readClipboard().value_or (juce::MemoryBlock()).toString() == text; }))
        << "the clipboard did not come back to A";
    auto const shared = a->base.getChildFile ("shared");
    auto const file = shared.getChildFile ("report 1.bin");
    auto const folder = shared.getChildFile ("folder");
    ASSERT_TRUE (folder.getChildFile ("inner/deeper").createDirectory());
    ASSERT_TRUE (file.replaceWithData (randomBytes (150000, 1).getData(), 150000));
    ASSERT_TRUE (folder.getChildFile ("one.txt").replaceWithText ("one\n"));
    ASSERT_TRUE (folder.getChildFile ("inner/deeper/two.bin").replaceWithData (randomBytes (4000, 2).getData(), 4000));
    ASSERT_TRUE (a->offerFiles ({ file, folder })) << a->lastFailure;

    crossFromAToB (600);
    juce::StringArray uris;
    EXPECT_TRUE (eventually ([&]
    {
        uris = juce::StringArray::fromLines (b->readClipboard ("text/uri-list").value_or (juce::MemoryBlock()).toString().trim());
        uris.removeEmptyStrings();
        return uris.size() == 2;
    }, 20000)) << "B's clipboard offers " << uris.joinIntoString (" ");

    std::map<juce::String, juce::MemoryBlock> received;

    for (auto const& uri : uris)
    {
        auto const local = juce::URL (uri.trim()).getLocalFile();
        EXPECT_TRUE (local.exists()) << uri;
        EXPECT_TRUE (local.isAChildOf (b->base)) << uri << " is not on B";

        for (auto& [path, bytes] : contents (local))
            received[path] = bytes;
    }

    auto expected = contents (file);
    expected.merge (contents (folder));
    EXPECT_EQ (received.size(), expected.size());

    for (auto const& [path, bytes] : expected)
        EXPECT_TRUE (received.count (path) != 0 && received[path] == bytes) << path << " did not arrive as it was";
}
