#include "app/MyQuillsteadApplication.h"
#include "app/NoInputPlatform.h"
#include "platform/QuitSignals.h"
#include "platform/X11Backend.h"
#include "platform/x11/X11DesktopPlatform.h"

#include <cstdio>
#include <cstdlib>

namespace
{
std::unique_ptr<InputPlatform> inputPlatform;

// JUCE's factory of the application object; it runs once JUCE's GUI support
// (and with it JUCE's own SIGINT handler) is up, on the message thread. The
// desktop platform (its status item is a window) lives on the message thread
// while that support is up: the application owns it and deletes it last.
juce::JUCEApplicationBase* createApplication()
{
    QuitSignals::takeInterruptBack();

    auto desktop = std::make_unique<X11DesktopPlatform>();
    auto& platform = *desktop;
    auto* application = new MyQuillsteadApplication ({ *inputPlatform, platform, DisplaySource::desktop() },
                                                     std::move (desktop));

    // JUCE's connection opens with its first look at the displays, and ours
    // are made: the display check's connection, held until now, may go.
    juce::Desktop::getInstance().getDisplays();
    releaseX11Display();
    return application;
}
} // namespace

int main (int argc, char* argv[])
{
    // SIGTERM, SIGHUP and SIGINT from the start on: the application hands them on as "Quit".
    QuitSignals::catchSignals();

    auto const* display = std::getenv ("DISPLAY");

    if (display == nullptr || *display == 0)
    {
        std::fputs ("Corvelline: no X display to run on (DISPLAY is not set)\n", stderr);
        return 1;
    }

    // Held from here (if the key tables have not done so already) until JUCE's
    // connection is made: a server that resets when its last client leaves
    // never sees zero clients on the way.
    if (! holdX11Display())
    {
        std::fprintf (stderr, "Corvelline: no X display to run on (DISPLAY \"%s\" does not open)\n", display);
        return 1;
    }

    inputPlatform = createX11InputPlatform();

    if (inputPlatform == nullptr)
    {
        std::fputs ("Corvelline: the display offers no XTEST, XInput 2.2 or XKB: running without "
                    "capturing or replaying keyboard and mouse\n", stderr);
        inputPlatform = std::make_unique<NoInputPlatform>();
    }

    juce::JUCEApplicationBase::createInstance = &createApplication;
    auto const result = juce::JUCEApplicationBase::main (argc, const_cast<const char**> (argv));

    inputPlatform.reset();
    releaseX11Display();
    return result;
}
