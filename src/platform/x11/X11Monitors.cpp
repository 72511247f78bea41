#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include <juce_gui_basics/juce_gui_basics.h>

#include "platform/X11Backend.h"

#include <X11/extensions/Xrandr.h>

std::vector<juce::Rectangle<int>> readX11MonitorAreas()
{
    std::vector<juce::Rectangle<int>> areas;
    auto* windowSystem = juce::XWindowSystem::getInstanceWithoutCreating();
    auto* display = windowSystem != nullptr ? windowSystem->getDisplay() : nullptr;

    if (display == nullptr)
        return areas;

    // The monitors as the server drives them: each CRTC in use shows a
    // rectangle of the root window, in its pixels. The current resources, as
    // the server has them: asking for fresh ones would make it probe the
    // outputs, which is slow.
    juce::XWindowSystemUtilities::ScopedXLock xLock;
    auto* resources = XRRGetScreenResourcesCurrent (display, DefaultRootWindow (display));

    if (resources == nullptr)
        return areas;

    for (int i = 0; i < resources->ncrtc; ++i)
    {
        if (auto* crtc = XRRGetCrtcInfo (display, resources, resources->crtcs[i]))
        {
            if (crtc->mode != None && crtc->width > 0 && crtc->height > 0)
                areas.push_back ({ crtc->x, crtc->y, (int) crtc->width, (int) crtc->height });

            XRRFreeCrtcInfo (crtc);
        }
    }

    XRRFreeScreenResources (resources);
    return areas;
}
