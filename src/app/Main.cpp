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
// is up, on the message thread. The desktop platform (its status item is a
// window) lives on the message thread while that support is up: the
// application owns it and deletes it last.
juce::JUCEApplicationBase* createApplication()
{
    auto desktop = std::make_unique<X11DesktopPlatform>();
    auto& platform = *desktop;
    return new MyQuillsteadApplication ({ *inputPlatform, platform, DisplaySource::desktop() }, std::move (desktop));
}
} // namespace

int main (int argc, char* argv[])
{
    // SIGTERM and SIGHUP from the start on: the application hands them on as "Quit".
    QuitSignals::catchSignals();

    auto const* display = std::getenv ("DISPLAY");

    if (display == nullptr || *display == 0)
    {
        std::fputs ("Corvelline: no X display to run on (DISPLAY is not set)\n", stderr);
        return 1;
    }

    if (! canOpenX11Display())
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
    return result;
}
