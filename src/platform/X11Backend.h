#pragma once

#include "platform/InputPlatform.h"

/** The X11 backend of the input platform. Nothing here needs X11's headers.

    It talks to the X server through connections of its own (xcb): events are
    watched with XInput 2.2 raw events, posted with XTest, withheld with an
    active keyboard and pointer grab, and keys are translated through
    xkbcommon. */

/** The input platform of the display of that name (empty: $DISPLAY); null
    when the display cannot be opened or lacks XTEST, XInput 2.2 or XKB. */
std::unique_ptr<InputPlatform> createX11InputPlatform (const juce::String& displayName = {});

/** The keyboard layout in use on the display now (empty: $DISPLAY), read
    through a connection of its own that is closed again; null when the
    display cannot be opened or has no keymap. */
std::shared_ptr<const KeyboardLayout> loadX11KeyboardLayout (const juce::String& displayName = {});

/** True when the display of that name (empty: $DISPLAY) opens: the program
    can show itself there. */
bool canOpenX11Display (const juce::String& displayName = {});

/** The physical areas (root-window pixels) of the monitors of the X server
    that JUCE shows its windows on, from RandR's CRTCs in use; empty when JUCE
    has no X connection or the server has no RandR. Message thread only. */
std::vector<juce::Rectangle<int>> readX11MonitorAreas();
