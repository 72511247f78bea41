#pragma once

#include <juce_core/juce_core.h>

#include <mutex>

/** Installs itself as JUCE's current logger for its lifetime and keeps every
    line written through DBGOrLog (without the time stamp). */
class LogCapture : public juce::Logger
{
public:
    LogCapture()  { juce::Logger::setCurrentLogger (this); }
    ~LogCapture() override { juce::Logger::setCurrentLogger (nullptr); }

    void logMessage (juce::String const& message) override
    {
        const std::lock_guard<std::mutex> sl (lock);
        lines.add (message.fromFirstOccurrenceOf (" ", false, false));
    }

    juce::StringArray getLines() const
    {
        const std::lock_guard<std::mutex> sl (lock);
        return lines;
    }

    int count (juce::String const& line) const
    {
        int n = 0;

        for (auto const& l : getLines())
            if (l == line)
                ++n;

        return n;
    }

    bool contains (juce::String const& line) const { return count (line) > 0; }

private:
    mutable std::mutex lock;
    juce::StringArray lines;
};
