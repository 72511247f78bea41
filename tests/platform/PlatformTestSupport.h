#pragma once

#include <juce_core/juce_core.h>

#include <string>
#include <vector>

namespace PlatformTest
{
/** A StringArray as a vector, for gmock's container matchers. */
inline std::vector<std::string> toVector (juce::StringArray const& array)
{
    std::vector<std::string> result;

    for (auto& s : array)
        result.push_back (s.toStdString());

    return result;
}
} // namespace PlatformTest
