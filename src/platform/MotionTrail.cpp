#include "platform/MotionTrail.h"

#include <algorithm>
#include <cmath>

juce::Point<double> MotionTrail::apply (juce::Point<double> from, const Motion& motion, bool asPosition,
                                        juce::Point<int> screenSize)
{
    auto to = from;

    if (asPosition)
    {
        if (motion.hasX) to.x = motion.values.x;
        if (motion.hasY) to.y = motion.values.y;
    }
    else
    {
        if (motion.hasX) to.x += motion.values.x;
        if (motion.hasY) to.y += motion.values.y;
    }

    return { juce::jlimit (0.0, (double) juce::jmax (0, screenSize.x - 1), to.x),
             juce::jlimit (0.0, (double) juce::jmax (0, screenSize.y - 1), to.y) };
}

juce::Point<int> MotionTrail::pixelOf (juce::Point<double> position)
{
    return { (int) std::floor (position.x), (int) std::floor (position.y) };
}

juce::Point<double> MotionTrail::follow (juce::Point<double> from, const std::vector<Motion>& motions,
                                         const std::vector<bool>& asPositions, juce::Point<int> screenSize)
{
    for (size_t i = 0; i < motions.size(); ++i)
        from = apply (from, motions[i], asPositions[i], screenSize);

    return from;
}

std::optional<juce::Point<double>> MotionTrail::startOf (juce::Point<int> end, const std::vector<Motion>& motions,
                                                         const std::vector<bool>& asPositions, juce::Point<int> screenSize)
{
    const juce::Point<double> last ((double) juce::jmax (0, screenSize.x - 1), (double) juce::jmax (0, screenSize.y - 1));
    auto at = end.toDouble();

    auto back = [] (double value, double by, double highest)
    {
        const bool pushedOnEdge = (by < 0 && value <= 0.0) || (by > 0 && value >= highest);
        return pushedOnEdge ? value : juce::jlimit (0.0, highest, value - by);
    };

    for (size_t i = motions.size(); i-- > 0;)
    {
        if (asPositions[i])
            return std::nullopt;

        if (motions[i].hasX) at.x = back (at.x, motions[i].values.x, last.x);
        if (motions[i].hasY) at.y = back (at.y, motions[i].values.y, last.y);
    }

    return at;
}

std::vector<bool> MotionTrail::readAsPositions (juce::Point<double> start, const std::vector<Motion>& motions,
                                                juce::Point<int> screenSize, std::optional<juce::Point<int>> end)
{
    // Every reading of the motions so far, by the pixel it ends in (the
    // cheapest way there), each with the reading of the step before it.
    struct Reading
    {
        juce::Point<double> at;
        double travel;
        int before;
        bool asPosition;
    };

    std::vector<std::vector<Reading>> steps;
    steps.reserve (motions.size());
    const std::vector<Reading> beginning { { start, 0.0, -1, false } };

    for (auto& motion : motions)
    {
        const auto& current = steps.empty() ? beginning : steps.back();
        std::vector<Reading> next;

        auto add = [&] (Reading r)
        {
            for (auto& other : next)
            {
                if (pixelOf (other.at) == pixelOf (r.at))
                {
                    if (r.travel < other.travel)
                        other = r;

                    return;
                }
            }

            next.push_back (r);
        };

        for (size_t i = 0; i < current.size(); ++i)
        {
            for (bool asPosition : { true, false })
            {
                if (! (asPosition ? motion.mayBePosition : motion.mayBeMove))
                    continue;

                const auto to = apply (current[i].at, motion, asPosition, screenSize);
                const auto travel = asPosition ? to.getDistanceFrom (current[i].at)
                                               : juce::Point<double> (motion.hasX ? motion.values.x : 0.0,
                                                                      motion.hasY ? motion.values.y : 0.0).getDistanceFromOrigin();
                add ({ to, current[i].travel + travel, (int) i, asPosition });
            }
        }

        if (next.empty())   // a motion that is neither: read as a move
            for (size_t i = 0; i < current.size(); ++i)
                next.push_back ({ apply (current[i].at, motion, false, screenSize), current[i].travel, (int) i, false });

        if (next.size() > maxReadings)
        {
            std::stable_sort (next.begin(), next.end(), [] (auto& a, auto& b) { return a.travel < b.travel; });
            next.resize (maxReadings);
        }

        steps.push_back (std::move (next));
    }

    std::vector<bool> result (motions.size(), false);

    if (motions.empty())
        return result;

    const auto& current = steps.back();

    auto best = [&] (bool mustEnd)
    {
        int found = -1;

        for (size_t i = 0; i < current.size(); ++i)
            if ((! mustEnd || pixelOf (current[i].at) == *end)
                && (found < 0 || current[i].travel < current[(size_t) found].travel))
                found = (int) i;

        return found;
    };

    int reading = end.has_value() ? best (true) : -1;

    // No reading from the start ends where the pointer is: something that
    // makes no motion moved it first (another program's warp, or a warp
    // while the screen's edge held back moves the start took no account of).
    // The motions are moves then, wherever they may be, from where they must
    // have started, when some start leads them there. (The least travel would
    // read a long run of small steps as one jump to a position and then the
    // same position again and again, each of them free.)
    if (reading < 0 && end.has_value())
    {
        std::vector<bool> asMoves;

        for (auto& motion : motions)
            asMoves.push_back (motion.mayBePosition && ! motion.mayBeMove);

        const auto from = startOf (*end, motions, asMoves, screenSize).value_or (start);

        if (pixelOf (follow (from, motions, asMoves, screenSize)) == *end)
            return asMoves;
    }

    if (reading < 0)
        reading = best (false);

    for (size_t step = motions.size(); step-- > 0;)
    {
        const auto& r = steps[step][(size_t) reading];
        result[step] = r.asPosition;
        reading = r.before;
    }

    return result;
}

MotionTrail::Positions::Read MotionTrail::Positions::read (int id, juce::Range<double> xRange, juce::Range<double> yRange,
                                                           const Motion& motion, juce::Point<double> pointer,
                                                           juce::Point<int> screenSize)
{
    auto spread = [] (double value, juce::Range<double> range, int pixels)
    {
        return range.getLength() > 0 ? juce::jmap (value, range.getStart(), range.getEnd(), 0.0, (double) juce::jmax (0, pixels - 1))
                                     : 0.0;
    };

    const auto known = last.find (id);
    auto position = known != last.end() ? known->second : pointer;

    if (motion.hasX) position.x = spread (motion.values.x, xRange, screenSize.x);
    if (motion.hasY) position.y = spread (motion.values.y, yRange, screenSize.y);

    const auto delta = known != last.end() ? position - known->second : juce::Point<double>();
    last[id] = position;
    return { position, delta };
}
