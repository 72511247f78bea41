#pragma once

#include <juce_core/juce_core.h>

#include <memory>

/** Writes one line to the installed log: the local time in ISO-8601 form, a
    blank and the message. Callable from any thread; writes nothing at all when
    no logger is installed. */
void DBGOrLog (juce::String const& message);

namespace Logging
{
    /** The version shown in the log's banner. */
    inline constexpr const char* versionText = "1.0.0";

    /** First trim of an existing log, made by JUCE while it opens the file. */
    inline constexpr juce::int64 initialSizeLimit = 131072;

    /** Second trim, made once the banner is written. */
    inline constexpr juce::int64 sizeLimit = 100000;

    /** While the program runs, a log that grows past runningSizeLimit is
        trimmed the same way, keeping its last runningTrimSize bytes. */
    inline constexpr juce::int64 runningSizeLimit = 1000000;
    inline constexpr juce::int64 runningTrimSize = 500000;

    /** The most characters of a received text that go into the log. */
    inline constexpr int maxExcerptLength = 500;

    /** A received text as the log shows it: whole when it has at most
        maxExcerptLength characters, else its first maxExcerptLength followed by
        "... (" + its length + " characters)". */
    juce::String excerpt (juce::String const& text);

    /** The text of a log line for a message at a given time. */
    juce::String formatLine (juce::Time time, juce::String const& message);

    /** Opens the log file (creating it and its folder when missing), trims it to
        initialSizeLimit, appends the banner, then trims it to sizeLimit. The
        logger keeps the file within runningSizeLimit as it writes. */
    std::unique_ptr<juce::FileLogger> createLogger (juce::File const& logFile);

    /** True when a network interface that is not a loopback ("lo...") carries an
        IPv4 address. */
    bool isNetworkAvailable();

    /** Writes "Network available at construction" or "Network not available at
        construction" in the log-line form straight through the given logger. */
    void writeNetworkLine (juce::FileLogger& logger);

    /** What the application does when it starts: creates the log in its usual
        place, keeps it in 'logger' (dropping an earlier one), installs it as the
        current logger and writes the network line. */
    void start (std::unique_ptr<juce::FileLogger>& logger);

    /** Uninstalls the current logger; later DBGOrLog calls write nothing. */
    void stop();
}
