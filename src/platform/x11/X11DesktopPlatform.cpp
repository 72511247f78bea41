#include "platform/x11/X11DesktopPlatform.h"

#include "core/Logging.h"

#include <juce_events/juce_events.h>

#include <xcb/xcb.h>
#include <xcb/xinput.h>
#include <xcb/xtest.h>

#include <cstdlib>

namespace
{
/** What the display lacks for capturing and posting input; empty when nothing. */
juce::StringArray findMissingInputSupport()
{
    auto* connection = xcb_connect (nullptr, nullptr);

    if (xcb_connection_has_error (connection) != 0)
    {
        xcb_disconnect (connection);
        auto const* name = std::getenv ("DISPLAY");
        return { "an X display (DISPLAY is " + (name != nullptr ? juce::String (name).quoted() : juce::String ("not set")) + ")" };
    }

    juce::StringArray missing;
    auto const* xtest = xcb_get_extension_data (connection, &xcb_test_id);

    if (xtest == nullptr || xtest->present == 0)
        missing.add ("the XTEST extension");

    auto const* xinput = xcb_get_extension_data (connection, &xcb_input_id);
    bool recentInput = false;

    if (xinput != nullptr && xinput->present != 0)
    {
        auto* reply = xcb_input_xi_query_version_reply (connection, xcb_input_xi_query_version (connection, 2, 2), nullptr);

        if (reply != nullptr)
            recentInput = reply->major_version > 2 || (reply->major_version == 2 && reply->minor_version >= 2);

        std::free (reply);
    }

    if (! recentInput)
        missing.add ("XInput 2.2 or later");

    xcb_disconnect (connection);
    return missing;
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
