#include "core/Logging.h"

#include "core/AppFolders.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>

void DBGOrLog (juce::String const& message)
{
    auto* current = juce::Logger::getCurrentLogger();
    auto now = juce::Time::getCurrentTime();

    if (current == nullptr)
        return;

    juce::Logger::writeToLog (Logging::formatLine (now, message));
}

namespace Logging
{
juce::String formatLine (juce::Time time, juce::String const& message)
{
    return time.toISO8601 (true) + " " + message;
}

std::unique_ptr<juce::FileLogger> createLogger (juce::File const& logFile)
{
    auto logger = std::make_unique<juce::FileLogger> (logFile,
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
    logger = createLogger (AppFolders::getLogFile());
    juce::Logger::setCurrentLogger (logger.get());
    writeNetworkLine (*logger);
}

void stop()
{
    juce::Logger::setCurrentLogger (nullptr);
}
} // namespace Logging
