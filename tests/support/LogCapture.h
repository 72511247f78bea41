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
        // DBGOrLog lines start with their time stamp; other writers' do not.
        auto stamp = message.upToFirstOccurrenceOf (" ", false, false);
        bool stamped = stamp.length() >= 20 && stamp[4] == '-' && stamp[10] == 'T';
        lines.add (stamped ? message.fromFirstOccurrenceOf (" ", false, false) : message);
    }

    juce::StringArray getLines() const
    {
        const std::lock_guard<std::mutex> sl (lock);
        return lines;
    }

    /** Every line, joined with new lines. */
    juce::String all() const { return getLines().joinIntoString ("\n"); }

    /** How many lines are exactly 'line'. */
    int count (juce::String const& line) const
    {
        int n = 0;

        for (auto const& l : getLines())
            n += l == line ? 1 : 0;

        return n;
    }

    bool contains (juce::String const& line) const { return count (line) > 0; }

    /** How many lines hold 'fragment' somewhere. */
    int countMentioning (juce::String const& fragment) const
    {
        int n = 0;

        for (auto const& l : getLines())
            n += l.contains (fragment) ? 1 : 0;

        return n;
    }

    bool mentions (juce::String const& fragment) const { return countMentioning (fragment) > 0; }

private:
    mutable std::mutex lock;
    juce::StringArray lines;
};
