#pragma once

#include "input/InputHost.h"
#include "input/MacKeyCodeWizard.h"
#include "platform/InputPlatform.h"

#include <functional>

/** Replays the texts of received event datagrams as input events of this
    machine: parses one text, posts the matching event through the input
    platform (which marks it, so this machine's own event tap lets it pass)
    and keeps the state between texts: the modifiers that arrive by name, the
    stamps of the last left-button down and up for double clicks, the
    flags of the previous text, and the last position (a position received
    again right after itself is the sender's repeat and moves nothing).

    Used by the SocketThread while it receives; one thread at a time. */
class EventReplay
{
public:
    /** The time in milliseconds, wrapping at 32 bits (juce::Time::getMillisecondCounter). */
    using Clock = std::function<juce::uint32()>;

    /** keyNames: the tables that turn key names into this machine's key codes. */
    EventReplay (InputHost& app, InputPlatform& platform, MacKeyCodeWizard const& keyNames,
                 Clock clock = &juce::Time::getMillisecondCounter);

    /** A new run of receiving begins: forgets the previous text's flags. */
    void startRun();

    /** Parses one received text and posts its event. sendingOS: the sender's
        system ("MAC" or "WIN"). Returns the text as it is shown in the
        streaming lines (cut before its click count). */
    juce::String replay (juce::String text, juce::String const& sendingOS);

    /** Receiving ended: releases every key and button the posts hold, and
        forgets the modifiers that arrived by name. */
    void releaseHeldInput();

    juce::uint64 getReceivedFlags() const noexcept   { return receivedFlags; }

    /** Received scrolling is paid from a budget of pixels that refills at
        wheelPixelsPerSecond up to wheelBudgetPixels; what a text asks beyond
        it is dropped. A real scroll stays within it, while a flood of wheel
        texts cannot make this machine post more wheel clicks than the desktop
        and the event tap keep up with, nor keep the texts behind it waiting. */
    static constexpr int wheelPixelsPerSecond = 30000;
    static constexpr int wheelBudgetPixels = 10000;

    /** Where a point of the virtual desktop lies on this machine's desktop;
        none while the application holds no record of this machine. */
    static std::optional<juce::Point<double>> toLocal (InputHost const& app, juce::Point<double> virtualPoint);

private:
    void replayMove (juce::String const& text, bool drag);
    void replayButton (int button, bool down, juce::uint64 flags, int clicks);
    void replayKeyName (juce::String const& name, bool down);
    void replayUnicodeChar (juce::String const& text);
    void replayWheel (int pixels);

    InputHost& app;
    InputPlatform& platform;
    MacKeyCodeWizard const& keyNames;
    Clock const clock;

    juce::uint64 receivedFlags = EventFlags::nonCoalesced;
    juce::uint32 lastLeftDownMs = 0, lastLeftUpMs = 0;
    juce::uint64 previousFlags = EventFlags::nonCoalesced;
    juce::String lastPosition;   // the text of the position replayed last, when nothing followed it
    int wheelBudget = wheelBudgetPixels;
    juce::uint32 wheelBudgetMs = 0;
};
