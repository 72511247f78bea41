#include "ipc/AutoLayout.h"

#include <cmath>
#include <limits>

namespace AutoLayout
{
namespace
{
/** (int) of a double, truncating toward zero, limited to the int range. */
int truncate (double value)
{
    if (std::isnan (value))
        return 0;

    return (int) juce::jlimit ((double) std::numeric_limits<int>::min(), (double) std::numeric_limits<int>::max(), value);
}

int wrappingAdd (int a, int b)
{
    return (int) ((juce::uint32) a + (juce::uint32) b);
}

int halfOf (int value)
{
    return value / 2;
}
} // namespace

Result compute (std::vector<juce::Point<int>> const& desktops)
{
    Result result;
    int sumW = 0, sumH = 0, maxW = -1, maxH = -1;

    for (auto const& size : desktops)
    {
        sumW = wrappingAdd (sumW, size.x);
        sumH = wrappingAdd (sumH, size.y);
        maxW = std::max (maxW, size.x);
        maxH = std::max (maxH, size.y);
    }

    if (desktops.size() == 1)
    {
        result.contentWidth = truncate (maxW * 1.2);
        result.contentHeight = truncate (maxH * 1.2);
        // Halves of ints: their difference always fits.
        result.places.push_back ({ halfOf (result.contentWidth) - halfOf (desktops[0].x),
                                   halfOf (result.contentHeight) - halfOf (desktops[0].y) });
        return result;
    }

    result.contentWidth = truncate (sumW * 1.2);
    result.contentHeight = truncate (sumH * 1.2);

    int x = truncate (result.contentWidth * 0.1);
    int const y = truncate (((double) result.contentHeight - maxH) * 0.5);

    for (size_t i = 0; i < desktops.size(); ++i)
    {
        if (i > 0)
            x = wrappingAdd (x, desktops[i - 1].x);

        result.places.push_back ({ x, y });
    }

    return result;
}
} // namespace AutoLayout
