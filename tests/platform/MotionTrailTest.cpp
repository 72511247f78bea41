// Reading a run of pointer motions whose values may be positions or moves.

#include "platform/MotionTrail.h"

#include <gmock/gmock.h>

using ::testing::ElementsAreArray;
using Motion = MotionTrail::Motion;

namespace
{
const juce::Point<int> screen { 1920, 1080 };

Motion either (double x, double y) { return { { x, y } }; }
} // namespace

TEST (MotionTrail, ARunIsReadAsEndsWhereThePointerIsWithTheLeastTravel)
{
    const std::optional<juce::Point<int>> unknown;
    const std::tuple<const char*, juce::Point<double>, std::vector<Motion>, std::optional<juce::Point<int>>, std::vector<bool>> runs[] = {
        { "to a point, then into the edge",   { 960, 540 }, { either (1900, 500), either (1919, 500) }, unknown,             { true, true } },
        { "small steps",                      { 960, 540 }, { either (5, 0), either (-40, 0) },          unknown,             { false, false } },
        { "a step near the corner",           { 720, 450 }, { either (20, 50) },                         juce::Point (740, 500), { false } },
        { "a point near the corner",          { 720, 450 }, { either (20, 50) },                         juce::Point (20, 50),   { true } },
        { "points nearer the corner than here", { 720, 450 }, { either (20, 500), either (0, 500) },     juce::Point (0, 500),   { true, true } },
        { "points, then a push at the edge",  { 960, 540 }, { either (1900, 540), either (1919, 540), either (5, 0) }, juce::Point (1919, 540), { true, true, false } },
        { "steps home, then points",          { 960, 540 }, { either (-40, 0), either (-40, 0), either (1900, 540), either (1919, 540) },
                                                                                                          juce::Point (1919, 540), { false, false, true, true } },
    };

    for (auto& [what, start, motions, end, expected] : runs)
        EXPECT_THAT (MotionTrail::readAsPositions (start, motions, screen, end), ElementsAreArray (expected)) << what;

    // What a motion may be is kept to, whatever the end. An end no reading
    // from the start reaches is reached by moves from elsewhere; where no
    // start leads moves there either, the least travel is left.
    Motion move = either (300, 300), position = either (300, 300);
    move.mayBePosition = false;
    position.mayBeMove = false;
    EXPECT_THAT (MotionTrail::readAsPositions ({ 10, 10 }, { move, position }, screen, juce::Point (300, 300)), ElementsAreArray ({ false, true }));
    EXPECT_THAT (MotionTrail::readAsPositions ({ 500, 500 }, { either (8, 8) }, screen, juce::Point (900, 900)), ElementsAreArray ({ false }));
    EXPECT_THAT (MotionTrail::readAsPositions ({ 960, 540 }, { either (1900, 540) }, screen, juce::Point (1000, 540)), ElementsAreArray ({ true }));
}

TEST (MotionTrail, ALongRunOfSmallStepsStaysMoves)
{
    // Another program's burst of 1,400 one-pixel steps, read at once. Read as
    // one jump to 1, 0 and then the same position again and again it travels
    // less; but the steps lead to where the pointer is: from the start, on into
    // the edge, or from elsewhere (the server's pointer was held at the edge
    // before warps the start took no account of).
    const std::vector<Motion> burst (1400, either (1, 0));
    const std::vector<bool> moves (burst.size(), false);

    for (auto [start, end] : { std::pair (juce::Point (100.0, 540.0), juce::Point (1500, 540)),
                               std::pair (juce::Point (960.0, 540.0), juce::Point (1919, 540)),
                               std::pair (juce::Point (960.0, 540.0), juce::Point (1861, 540)) })
        EXPECT_THAT (MotionTrail::readAsPositions (start, burst, screen, end), ElementsAreArray (moves)) << end.toString();
}

TEST (MotionTrail, MovesStopAtTheScreensEdgesAndMissingValuesKeepThePointers)
{
    Motion onlyX = either (30, 0);
    onlyX.hasY = false;

    EXPECT_EQ (MotionTrail::apply ({ 1915, 10 }, either (10, -20), false, screen), juce::Point<double> (1919, 0));
    EXPECT_EQ (MotionTrail::apply ({ 5, 10 }, either (2500, 1079.5), true, screen), juce::Point<double> (1919, 1079));
    EXPECT_EQ (MotionTrail::apply ({ 5, 10 }, onlyX, true, screen), juce::Point<double> (30, 10));
    EXPECT_EQ (MotionTrail::apply ({ 5, 10 }, onlyX, false, screen), juce::Point<double> (35, 10));
    EXPECT_EQ (MotionTrail::pixelOf ({ 10.7, -0.5 }), juce::Point<int> (10, -1));
}

TEST (MotionTrail, MovesThatDoNotLeadToTheEndStartWhereTheyMust)
{
    // Steps that end at 966, 540 started at 960, 540 (wherever the pointer was
    // thought to be); a step that ended on the edge it pushed against is taken
    // to have rested there; a position decides the end alone.
    const std::vector<bool> moves { false, false };
    EXPECT_EQ (MotionTrail::startOf ({ 966, 540 }, { either (3, 0), either (3, 0) }, moves, screen), juce::Point<double> (960, 540));
    EXPECT_EQ (MotionTrail::startOf ({ 1919, 0 }, { either (3, -1), either (2, 5) }, moves, screen), juce::Point<double> (1919, 0));
    EXPECT_EQ (MotionTrail::startOf ({ 5, 5 }, { either (3, 0), either (5, 5) }, { false, true }, screen), std::nullopt);
    EXPECT_EQ (MotionTrail::follow ({ 1900, 5 }, { either (30, 0), either (-5, 2) }, moves, screen), juce::Point<double> (1914, 7));
}

TEST (MotionTrail, ADeviceThatSendsPositionsMovesBetweenItsOwnPositions)
{
    // A tablet whose axes span 0 to 1919 and 0 to 1079 on this screen: each
    // delta is from its own last position, whatever the pointer did between.
    MotionTrail::Positions tablet;
    const juce::Range<double> x (0, 1919), y (0, 1079);
    Motion onlyX = either (110, 0);
    onlyX.hasY = false;

    auto read = [&] (int id, const Motion& m, juce::Point<double> pointer)
    {
        auto r = tablet.read (id, x, y, m, pointer, screen);
        return std::pair (r.position, r.delta);
    };

    using P = juce::Point<double>;
    EXPECT_EQ (read (7, either (100, 200), { 960, 540 }), std::pair (P (100, 200), P (0, 0)));   // its first: no delta
    EXPECT_EQ (read (7, either (103, 198), { 960, 540 }), std::pair (P (103, 198), P (3, -2)));   // not from the warp point
    EXPECT_EQ (read (7, onlyX, { 960, 540 }), std::pair (P (110, 198), P (7, 0)));
    EXPECT_EQ (read (8, onlyX, { 960, 540 }), std::pair (P (110, 540), P (0, 0)));               // another device

    tablet.forget (7);   // its ID now names another device
    EXPECT_EQ (read (7, either (500, 500), { 960, 540 }), std::pair (P (500, 500), P (0, 0)));
}
