#pragma once

// X11 only: include from the X11 backend's sources alone.

#include "platform/EventTap.h"
#include "platform/MotionTrail.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Keymap.h"

#include <xcb/xinput.h>

#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>

class X11InputPlatform;

/** The event tap of an X server: XInput 2.2 raw events of all master devices,
    selected on the root window through a connection of the tap's own, which
    keeps receiving them while the platform's grab withholds the input.

    Raw events carry neither the pointer position nor the modifier state.
    Each motion is reported where it put the pointer, not where the pointer
    is by the time the tap reads it (a tap that falls behind would show a move
    inside at the edge a later move reached): from its values, as a move
    summed from the last report (a mouse, XTest's relative moves) or as a
    position (XTest's absolute moves; MotionTrail reads which), checked
    against where the server has the pointer after the last motion it had
    sent when asked. An absolute device's values are in units of its own,
    which the server spreads over the screen: its motions are positions, and
    its delta is between its own successive positions (MotionTrail::Positions).
    A move's delta is its own, also where the screen's edge stopped the
    pointer; a position's is the distance from the last report. A warp
    through the platform moves the point the next motion starts from; moves
    that do not lead from the last report to where the server has the pointer
    were preceded by something that made no motion (another program's warp):
    the tap reports a pointer notice where they must have started, then the
    moves from there. It also reports one where the pointer is when it
    starts. Devices are read anew when the server says they came, went or
    changed, and the screen's size follows the root window's. The tap follows the modifier keys and buttons itself
    from the state it reads when it starts; Caps Lock, a lock the keymap
    decides on, is followed from the server's notices of its changes (which
    come in order with the raw events) and gives the alpha-shift flag while
    it is on. Key codes are taken to
    macOS codes by physical position; modifier keys give flagsChanged events;
    each wheel click is one scroll event of 10 pixels; clicks are counted
    within 500 ms and 5 pixels.

    Key repeats: raw events carry none, so the tap makes them itself. While a
    key from the local devices is held, the tap reports it again as a key
    down at the keyboard's repeat delay and rate, as long as the server would
    repeat that key (repeat on, and on for that key): a held key reaches the
    callback as one key down per repeat and one key up, as a Mac's tap sees
    it. The last key pressed repeats; modifiers never do. Posted keys
    (marked) are not repeated.

    Own posts: the tap forgets the platform's record of a post it never saw
    only after the post is older than postGraceMs and a round trip on both
    connections has brought in everything the server did until then; a tap
    that falls behind still recognises its own posts. */
class X11EventTap : public EventTap
{
public:
    static std::unique_ptr<X11EventTap> create (X11InputPlatform& platformToUse, Callback callbackToUse);

    ~X11EventTap() override;

    bool run() override;

    static constexpr juce::uint32 doubleClickMs = 500;
    static constexpr double doubleClickDistance = 5.0;
    static constexpr juce::uint32 postGraceMs = 1000;

private:
    X11EventTap (X11InputPlatform& platformToUse, Callback callbackToUse,
                 std::unique_ptr<X11Connection> connection, int wakeFd);

    void wakeLoop() override;

    bool selectEvents (bool on);
    void readInitialState();
    void handlePending();

    struct FreeEvent { void operator() (xcb_generic_event_t* e) const { std::free (e); } };
    using Event = std::unique_ptr<xcb_generic_event_t, FreeEvent>;

    /** What the tap has not handled yet: the events read ahead, then all the
        connection has. */
    std::vector<Event> takeEvents();

    /** Reads each motion of the events, and where the server has the pointer
        after the last of them; events the server sent after answering wait
        for the next turn. */
    void readMotions (std::vector<Event>& events);

    enum class Source { moves, positions, either };

    /** What a device's motions are; for one that sends positions, the range
        of its two axes, which the server spreads over the screen. */
    struct Device
    {
        Source source = Source::either;
        juce::Range<double> x, y;
    };

    const Device& deviceOf (xcb_input_device_id_t device);

    /** Follows what changes the tap's picture of the devices and the screen:
        devices added, removed or changed, the screen resized. True when the
        event was one of those. */
    bool followChange (const xcb_generic_event_t* event);

    /** Forgets the posts made before that time that this tap has not seen,
        after a round trip on both connections has brought in what the server
        did for them. */
    void forgetPostsAddedBefore (juce::uint32 before);
    void followRepeat (xcb_keycode_t keycode, int macKeyCode, bool press);
    int repeatIfDue();
    void handle (const xcb_generic_event_t* event);
    void handleRaw (const xcb_input_raw_button_press_event_t* raw);
    void handleKey (xcb_keycode_t keycode, bool press);
    void handleButton (int button, bool press, juce::uint32 time);
    void handleMotion();
    juce::uint64 currentFlags() const;

    /** The pixel of the last report. */
    juce::Point<double> location() const { return MotionTrail::pixelOf (exactLocation).toDouble(); }

    X11InputPlatform& owner;
    std::unique_ptr<X11Connection> connection;
    int wakeFd = -1;
    int xinputOpcode = -1;
    int xkbFirstEvent = -1;
    std::shared_ptr<const X11Keymap> keymap;

    // State followed while running.
    juce::Point<double> exactLocation; // where the reported motions left the pointer, with what moves had beyond whole pixels
    juce::uint32 seenWarps = 0;
    std::deque<Event> readAhead;

    // How each motion of the events being handled is read, in their order.
    struct MotionReading
    {
        MotionTrail::Motion motion;
        bool asPosition = false;
        bool marked = false;
        bool first = false;
        bool last = false;   // the last one the server had sent when it gave serverPosition
        std::optional<juce::Point<double>> delta;   // a device's own, from its previous position
    };

    std::deque<MotionReading> motionReadings;
    std::optional<juce::Point<int>> serverPosition;
    juce::uint32 warpsWhenAsked = 0;

    // Where the pointer was when the motions being handled began, when that
    // is not where the tap had it: nothing it reported took it there (a warp
    // by another program). Valid while no warp of ours came since.
    std::optional<juce::Point<double>> runStart;
    juce::uint32 warpsWhenRunStartRead = 0;

    juce::Point<int> screen;   // the root window's size, followed while running
    std::map<xcb_input_device_id_t, Device> devices;
    MotionTrail::Positions positions;
    juce::uint32 buttonsHeld = 0;      // bit n: X button n
    bool modifierKeysHeld[10] = {};    // macOS codes 54 to 63
    juce::uint64 initialFlags = 0;     // held when the tap started, until released
    bool capsLocked = false;           // read when the tap starts, then followed from the server's lock changes
    int lastClickButton = 0;
    juce::uint32 lastClickTime = 0;
    juce::Point<double> lastClickLocation;
    juce::int64 clickCounts[32] = {};

    // The held key the tap repeats.
    bool repeating = false;
    xcb_keycode_t repeatKeycode = 0;
    juce::uint16 repeatMacKeyCode = 0;
    juce::uint32 repeatDueMs = 0;
    juce::uint32 repeatIntervalMs = 0;
};
