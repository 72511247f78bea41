#include "core/Logging.h"

#include "core/AppFolders.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <mutex>

namespace
{
// JUCE keeps the current logger in a plain pointer: installing and removing
// it, and every write through it, happen under this lock, so that a thread
// still logging while the application shuts down never writes through a
// logger that is being taken away.
std::mutex& loggerLock()
{
    static std::mutex lock;
    return lock;
}

/** A file logger that trims its file, as start-up does, whenever the file
    grows past the running limit, so that a long run or a flood of lines
    cannot fill the disk. Writes and trims take turns. */
class BoundedFileLogger : public juce::FileLogger
{
public:
    using juce::FileLogger::FileLogger;

    void logMessage (juce::String const& message) override
    {
        const std::lock_guard<std::mutex> sl (writeLock);
        juce::FileLogger::logMessage (message);

        if (getLogFile().getSize() > Logging::runningSizeLimit)
            trimFileSize (getLogFile(), Logging::runningTrimSize);
    }

private:
    std::mutex writeLock;
};
} // namespace

void DBGOrLog (juce::String const& message)
{
    auto now = juce::Time::getCurrentTime();
    const std::lock_guard<std::mutex> sl (loggerLock());

    if (juce::Logger::getCurrentLogger() == nullptr)
        return;

    juce::Logger::writeToLog (Logging::formatLine (now, message));
}

namespace Logging
{
juce::String formatLine (juce::Time time, juce::String const& message)
{
    return time.toISO8601 (true) + " " + message;
}

juce::String excerpt (juce::String const& text)
{
    // Walks no further than the excerpt unless the text is longer.
    auto end = text.getCharPointer();

    for (int i = 0; i < maxExcerptLength; ++i, ++end)
        if (end.isEmpty())
            return text;

    if (end.isEmpty())
        return text;

    return juce::String (text.getCharPointer(), end) + "... (" + juce::String (text.length()) + " characters)";
}

std::unique_ptr<juce::FileLogger> createLogger (juce::File const& logFile)
{
    std::unique_ptr<juce::FileLogger> logger = std::make_unique<BoundedFileLogger> (logFile,
                                                                                    juce::String ("Welcome to v") + versionText,
                                                                                    initialSizeLimit);
    juce::FileLogger::trimFileSize (logFile, sizeLimit);
    return logger;
}

bool isNetworkAvailable()
{
    ifaddrs* list = nullptr;

    if (getifaddrs (&list) != 0)
        return false;

    bool available = false;

    for (auto* entry = list; entry != nullptr; entry = entry->ifa_next)
    {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;

        if (entry->ifa_name != nullptr && juce::String (entry->ifa_name).startsWith ("lo"))
            continue;

        // The first remaining interface decides.
        in_addr address {};
        std::memcpy (&address, &reinterpret_cast<sockaddr_in const*> (entry->ifa_addr)->sin_addr, sizeof (address));
        char text[INET_ADDRSTRLEN] = {};
        available = inet_ntop (AF_INET, &address, text, sizeof (text)) != nullptr;
        break;
    }

    freeifaddrs (list);
    return available;
}

void writeNetworkLine (juce::FileLogger& logger)
{
    auto now = juce::Time::getCurrentTime();
    logger.logMessage (formatLine (now, isNetworkAvailable() ? "Network available at construction"
                                                             : "Network not available at construction"));
}

void start (std::unique_ptr<juce::FileLogger>& logger)
{
    auto created = createLogger (AppFolders::getLogFile());

    {
        const std::lock_guard<std::mutex> sl (loggerLock());
        juce::Logger::setCurrentLogger (created.get());
    }

    // An earlier logger goes only once nobody can write through it.
    logger = std::move (created);
    writeNetworkLine (*logger);
}

void stop()
{
    const std::lock_guard<std::mutex> sl (loggerLock());
    juce::Logger::setCurrentLogger (nullptr);
}
} // namespace Logging
