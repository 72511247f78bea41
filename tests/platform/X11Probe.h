#pragma once

#include <juce_core/juce_core.h>
#include <juce_graphics/juce_graphics.h>

#include <memory>
#include <vector>

/** An independent X client for the X11 backend's tests: a window of its own
    that records the key and button events it receives, pointer queries, and
    XTest input of its own, which counts as physical input for the program.
    X11 types stay in the source file. */
class X11Probe
{
public:
    explicit X11Probe (const juce::String& displayName);
    ~X11Probe();

    bool isOk() const;

    /** Maps a window over the whole screen that takes key and button events,
        and gives it the keyboard focus. */
    bool showWindow();

    struct Event
    {
        enum Type { keyPress = 2, keyRelease = 3, buttonPress = 4, buttonRelease = 5 };
        int type = 0;
        int detail = 0;      // keycode or button
        int state = 0;       // modifier mask when it happened
        bool operator== (const Event& other) const
        {
            return type == other.type && detail == other.detail && state == other.state;
        }
    };

    /** Waits until count events arrived at the window or the time ran out;
        returns and forgets what arrived. */
    std::vector<Event> waitForEvents (size_t count, int timeoutMs);

    /** Everything that arrived within a short while, after a round trip;
        forgets it too. */
    std::vector<Event> collectEvents (int settleMs = 150);

    juce::Point<int> getPointer();

    /** XTest input from this client: physical input, as far as the program
        can tell. */
    void key (int keycode, bool down);
    void button (int number, bool down);
    void moveTo (juce::Point<int> position);

    /** Waits until the server has handled everything sent. */
    void sync();

    /** The first keysym of a keycode in the server's core keymap now. */
    juce::uint32 keysymOf (int keycode);

    /** Milliseconds since the last user input (MIT-SCREEN-SAVER). */
    juce::int64 getIdleMs();

    /** Holds the keyboard with an active grab of this client. */
    bool grabKeyboard();

    /** The number of clients connected to the server, this one included. */
    int countClients();

    static constexpr int shiftMask = 1;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
