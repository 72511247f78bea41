#include "input/EventReplay.h"

#include <climits>
#include <cmath>
#include <cstdlib>

namespace
{
/** The leading decimal number of a text as C's atoi reads it (blanks
    skipped, an optional sign, digits up to the first other character, 0 when
    there are none), held to the range of int instead of overflowing. */
int leadingInt (juce::String const& text)
{
    auto const value = std::strtol (text.toRawUTF8(), nullptr, 10);
    return (int) juce::jlimit<long> (INT_MIN, INT_MAX, value);
}

/** As leadingInt, 64 bits wide (C's atoll). */
juce::int64 leadingInt64 (juce::String const& text)
{
    return (juce::int64) std::strtoll (text.toRawUTF8(), nullptr, 10);
}

/** A decimal number as JUCE's parser reads it. That parser adds up the digits
    of an exponent in an int, which overflows on a long run of them: such an
    exponent is shortened first to one that still means infinity or zero. */
double readDouble (juce::String const& text)
{
    auto t = text.getCharPointer().findEndOfWhitespace();
    auto const start = t;

    if (*t == '-' || *t == '+')
        ++t;

    while (t.isDigit() || *t == '.')
        ++t;

    if (*t != 'e' && *t != 'E')
        return text.getDoubleValue();

    ++t;

    if (*t == '-' || *t == '+')
        ++t;

    auto const exponentStart = t;

    while (*t == '0')
        ++t;

    auto const significant = t;

    while (t.isDigit())
        ++t;

    if (t - significant <= 6)
        return text.getDoubleValue();

    return (juce::String (start, exponentStart) + "999999").getDoubleValue();
}

juce::String after (juce::String const& text, char const* marker)
{
    return text.fromFirstOccurrenceOf (marker, false, false);
}

/** The modifier flag of a key name that travels as modifier state only; 0 for other names. */
juce::uint64 modifierOfName (juce::String const& name)
{
    if (name == "Shift")                                     return EventFlags::shift;
    if (name == "Control")                                   return EventFlags::control;
    if (name == "Option")                                    return EventFlags::option;
    if (name == "WindowsLeft" || name == "WindowsRight")     return EventFlags::command;
    return 0;
}

constexpr juce::uint32 doubleClickMs = 500;
} // namespace

EventReplay::EventReplay (InputHost& appToUse, InputPlatform& platformToUse, MacKeyCodeWizard const& keyNamesToUse, Clock clockToUse)
    : app (appToUse), platform (platformToUse), keyNames (keyNamesToUse), clock (std::move (clockToUse)),
      wheelBudgetMs (clock())
{
}

void EventReplay::startRun()
{
    // Before any text of a run carried flags, nothing is held.
    previousFlags = EventFlags::nonCoalesced;
    lastPosition = {};
}

void EventReplay::releaseHeldInput()
{
    receivedFlags = EventFlags::nonCoalesced;
    platform.releaseHeldInput();
}

std::optional<juce::Point<double>> EventReplay::toLocal (InputHost const& app, juce::Point<double> virtualPoint)
{
    auto const area = app.getOwnArea();

    if (! area.has_value())
        return std::nullopt;

    // A point off this machine's desktop (a sender's layout that differs,
    // a hostile datagram) ends on its edge, as the pointer would.
    auto const desktop = app.getOwnDesktop();
    auto const local = virtualPoint + desktop.getPosition().toDouble() - area->getPosition().toDouble();

    if (desktop.isEmpty())
        return local;

    return juce::Point<double> (juce::jlimit ((double) desktop.getX(), (double) desktop.getRight() - 1.0, local.x),
                                juce::jlimit ((double) desktop.getY(), (double) desktop.getBottom() - 1.0, local.y));
}

juce::String EventReplay::replay (juce::String text, juce::String const& sendingOS)
{
    int clicks = 1;

    if (text.contains ("numClicks"))
    {
        clicks = leadingInt (after (text, "numClicks: "));
        text = text.upToFirstOccurrenceOf (" numClicks:", false, false);
    }

    // No modifier key is held any more; Caps Lock is a lock, not a held key.
    if (text.contains ("noModKeys"))
        receivedFlags = EventFlags::nonCoalesced | (receivedFlags & EventFlags::alphaShift);

    // A single click that follows the previous one closely enough is the
    // second click of a double click. Unsigned differences survive the
    // counter's wrap.
    if (clicks == 1 && text.startsWith ("Left mouse"))
    {
        auto const now = clock();

        if (text.startsWith ("Left mouse down"))
        {
            clicks = (juce::uint32) (now - lastLeftDownMs) < doubleClickMs ? 2 : 1;
            lastLeftDownMs = now;
        }
        else if (text.startsWith ("Left mouse up"))
        {
            if ((juce::uint32) (now - lastLeftUpMs) < doubleClickMs)
                clicks = 2;

            lastLeftUpMs = now;
        }
    }

    juce::uint64 flags = previousFlags;

    if (text.contains ("flags: "))
        flags = (juce::uint64) leadingInt64 (after (text, "flags: "));
    else if (sendingOS == "WIN")
        flags = receivedFlags;

    previousFlags = flags;

    // A sender whose keys travel by name says its Caps Lock by the key's
    // name alone: the lock that arrived so is the one its events carry.
    if (sendingOS == "WIN")
        flags = (flags & ~EventFlags::alphaShift) | (receivedFlags & EventFlags::alphaShift);

    // The sender sends its last position again in case it was lost: right
    // after itself it moves nothing (the pointer may have moved here since).
    auto const isPosition = text.startsWith ("Move mouse to: ") || text.startsWith ("Drag mouse to: ");

    if (isPosition && text == lastPosition)
        return text;

    lastPosition = isPosition ? text : juce::String();

    if (text.startsWith ("Clipboard: "))
        app.setClipboardText (after (text, "Clipboard: "));
    else if (text.startsWith ("Move mouse to: "))
        replayMove (text, false);
    else if (text.startsWith ("Drag mouse to: "))
        replayMove (text, true);
    else if (text.startsWith ("Left mouse down"))
        replayButton (0, true, flags, clicks);
    else if (text.startsWith ("Left mouse up"))
        replayButton (0, false, flags, clicks);
    else if (text.startsWith ("Right mouse down"))
        replayButton (1, true, flags, 0);
    else if (text.startsWith ("Right mouse up"))
        replayButton (1, false, flags, 0);
    else if (text.startsWith ("Mouse wheel: "))
        replayWheel (leadingInt (text.substring (13)));
    else if (text.startsWith ("CGKey down: ") || text.startsWith ("CGKey up: "))
    {
        auto const down = text.startsWith ("CGKey down: ");
        auto const code = text.substring (down ? 12 : 10).upToFirstOccurrenceOf (" flags: ", false, false);
        platform.postEvent (InputEvent::key ((juce::uint16) leadingInt (code), down, flags));
    }
    else if (text.startsWith ("Key down: "))
        replayKeyName (after (text, "Key down: "), true);
    else if (text.startsWith ("Key up: "))
        replayKeyName (after (text, "Key up: ").upToFirstOccurrenceOf ("noModKeys", false, false), false);
    else if (text.startsWith ("UnicodeChar: "))
        replayUnicodeChar (text.substring (13));

    return text;
}

void EventReplay::replayMove (juce::String const& text, bool drag)
{
    auto const x = readDouble (after (text, ": ").upToFirstOccurrenceOf ("_", false, false));
    auto const y = readDouble (after (text, "_"));

    if (! std::isfinite (x) || ! std::isfinite (y))
        return;

    app.updateVirtualMonitorPosition ({ x, y });

    // Without a record of this machine there is no place to map to: the move is dropped.
    if (auto const local = toLocal (app, { x, y }))
        platform.postEvent (InputEvent::mouseMove (*local, drag));
}

void EventReplay::replayButton (int button, bool down, juce::uint64 flags, int clicks)
{
    // The platform presses the button where the pointer is, so its place is
    // not asked for (on X11 that would be a round trip per click). A click
    // count is set only for a double click or more.
    platform.postEvent (InputEvent::mouseButton (button, down, {}, flags, clicks >= 2 ? clicks : 0));
}

void EventReplay::replayKeyName (juce::String const& name, bool down)
{
    if (name == "CapsLock")
    {
        // The lock turns over with the key's down, as on the sender; no key
        // is pressed here, whatever key sits at the Caps Lock place.
        if (down)
            receivedFlags ^= EventFlags::alphaShift;
    }
    else if (auto const modifier = modifierOfName (name))
    {
        // Modifiers reach this machine only through the flags of the events that follow.
        if (down)
            receivedFlags |= modifier;
        else
            receivedFlags &= ~modifier;
    }
    else
    {
        platform.postEvent (InputEvent::key (keyNames.getCode (name), down, receivedFlags));
    }

    app.showReceivedFlags ((int) (juce::uint32) receivedFlags);
}

void EventReplay::replayWheel (int pixels)
{
    // The budget refills with the time passed (unsigned: the counter wraps).
    auto const now = clock();
    auto const elapsedMs = (juce::int64) (juce::uint32) (now - wheelBudgetMs);
    wheelBudgetMs = now;
    wheelBudget = (int) juce::jmin ((juce::int64) wheelBudgetPixels,
                                    wheelBudget + elapsedMs * wheelPixelsPerSecond / 1000);

    auto const allowed = juce::jmin (wheelBudget, InputPlatform::maxScrollPixelsPerPost);
    pixels = juce::jlimit (-allowed, allowed, pixels);

    if (pixels == 0)
        return;

    wheelBudget -= std::abs (pixels);
    platform.postEvent (InputEvent::scroll (pixels));
}

void EventReplay::replayUnicodeChar (juce::String const& text)
{
    // An empty character would post key code 0, a letter the sender never typed.
    if (text.isEmpty())
        return;

    auto const unit = (char16_t) (text[0] & 0xffff);
    platform.postEvent (InputEvent::unicodeKey (unit, true));
    platform.postEvent (InputEvent::unicodeKey (unit, false));
}
