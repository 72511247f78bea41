#include "platform/x11/X11DesktopPlatform.h"

#include "core/Logging.h"

#include <juce_events/juce_events.h>

#include "platform/x11/X11Connection.h"

#include <cstdlib>

namespace
{
/** What the display lacks for capturing and posting input; empty when nothing. */
juce::StringArray findMissingInputSupport()
{
    X11Connection connection ({});

    if (! connection.isOk())
    {
        auto const* name = std::getenv ("DISPLAY");
        return { "an X display (DISPLAY is " + (name != nullptr ? juce::String (name).quoted() : juce::String ("not set")) + ")" };
    }

    return connection.findMissingInputSupport();
}
} // namespace

X11DesktopPlatform::X11DesktopPlatform() = default;
X11DesktopPlatform::~X11DesktopPlatform() = default;

void X11DesktopPlatform::requestQuit()
{
    juce::MessageManager::callAsync ([]
    {
        if (auto* application = juce::JUCEApplicationBase::getInstance())
            application->systemRequestedQuit();
        else
            juce::MessageManager::getInstance()->stopDispatchLoop();
    });
}

bool X11DesktopPlatform::isTrusted (bool prompt)
{
    auto missing = findMissingInputSupport();

    if (missing.isEmpty())
        return true;

    if (prompt)
        DBGOrLog ("Input cannot be captured or posted: missing " + missing.joinIntoString (" and "));

    return false;
}
