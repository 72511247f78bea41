#pragma once

// X11 only: include from the X11 backend's sources alone.
// xcb's XKB header names a field "explicit", which C++ reserves.

#if defined (__clang__)
 #pragma clang diagnostic push
 #pragma clang diagnostic ignored "-Wkeyword-macro"
#endif

#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#if defined (__clang__)
 #pragma clang diagnostic pop
#endif
