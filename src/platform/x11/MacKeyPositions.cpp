#include "platform/x11/MacKeyPositions.h"

namespace
{
// Index: macOS virtual key code. Written from the key positions of Apple's
// keyboards (ANSI, ISO and JIS) and the XKB names of the same positions.
constexpr const char* positions[128] = {
    /*   0 */ "AC01", "AC02", "AC03", "AC04", "AC06", "AC05", "AB01", "AB02",
    /*   8 */ "AB03", "AB04", "LSGT", "AB05", "AD01", "AD02", "AD03", "AD04",
    /*  16 */ "AD06", "AD05", "AE01", "AE02", "AE03", "AE04", "AE06", "AE05",
    /*  24 */ "AE12", "AE09", "AE07", "AE11", "AE08", "AE10", "AD12", "AD09",
    /*  32 */ "AD07", "AD11", "AD08", "AD10", "RTRN", "AC09", "AC07", "AC11",
    /*  40 */ "AC08", "AC10", "BKSL", "AB08", "AB10", "AB06", "AB07", "AB09",
    /*  48 */ "TAB",  "SPCE", "TLDE", "BKSP", nullptr, "ESC", "RWIN", "LWIN",
    /*  56 */ "LFSH", "CAPS", "LALT", "LCTL", "RTSH", "RALT", "RCTL", nullptr,
    /*  64 */ "FK17", "KPDL", nullptr, "KPMU", nullptr, "KPAD", nullptr, "NMLK",
    /*  72 */ "VOL+", "VOL-", "MUTE", "KPDV", "KPEN", nullptr, "KPSU", "FK18",
    /*  80 */ "FK19", "KPEQ", "KP0",  "KP1",  "KP2",  "KP3",  "KP4",  "KP5",
    /*  88 */ "KP6",  "KP7",  "FK20", "KP8",  "KP9",  "AE13", "AB11", "JPCM",
    /*  96 */ "FK05", "FK06", "FK07", "FK03", "FK08", "FK09", "HJCV", "FK11",
    /* 104 */ "HNGL", "FK13", "FK16", "FK14", nullptr, "FK10", "COMP", "FK12",
    /* 112 */ nullptr, "FK15", "INS", "HOME", "PGUP", "DELE", "FK04", "END",
    /* 120 */ "FK02", "PGDN", "FK01", "LEFT", "RGHT", "DOWN", "UP",   nullptr,
};
} // namespace

namespace MacKeyPositions
{
const char* xkbNameOfMacKeyCode (juce::uint16 code) noexcept
{
    return code < 128 ? positions[code] : nullptr;
}
} // namespace MacKeyPositions
