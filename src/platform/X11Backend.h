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

/** The keyboard layout in use on the display now (empty: $DISPLAY, which it
    holds first), read through a connection of its own that is closed again;
    null when the display cannot be opened or has no keymap. */
std::shared_ptr<const KeyboardLayout> loadX11KeyboardLayout (const juce::String& displayName = {});

/** True when the display of that name opens: the program can show itself
    there. The program's own display (the empty name: $DISPLAY) is held by
    the check, as holdX11Display() does. */
bool canOpenX11Display (const juce::String& displayName = {});

/** The physical areas (root-window pixels) of the monitors of the program's
    display ($DISPLAY), from RandR's CRTCs in use, read on a connection of
    their own; empty when the display does not open or has no RandR 1.3. */
std::vector<juce::Rectangle<int>> readX11MonitorAreas();

/** Opens the program's display ($DISPLAY) and keeps this connection open
    until releaseX11Display(). An X server that resets when its last client
    leaves (a bare server, a session with no window manager or panel) then
    never sees zero clients while the program makes its own connections:
    each connection that closed would reset it, and the next one would meet
    a server half-way through its reset. A server resetting now refuses
    connections for a moment: it is tried again for up to a second. True
    when the display is held, also when it was already. Any thread. */
bool holdX11Display();

/** Closes the connection holdX11Display() kept, once the program's own
    connections (JUCE's and the platform's) are made. */
void releaseX11Display();
