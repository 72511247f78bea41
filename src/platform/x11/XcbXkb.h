#pragma once

// X11 only: include from the X11 backend's sources alone.
// xcb's XKB header names a field "explicit", which C++ reserves.

#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
