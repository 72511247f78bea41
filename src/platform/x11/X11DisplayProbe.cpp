#include "platform/X11Backend.h"
#include "platform/x11/X11Connection.h"

bool canOpenX11Display (const juce::String& displayName)
{
    return X11Connection (displayName).isOk();
}
