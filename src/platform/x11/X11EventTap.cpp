#include "platform/x11/X11EventTap.h"

#include "core/Logging.h"
#include "platform/x11/X11InputPlatform.h"

#include "platform/x11/XcbXkb.h"

#include <algorithm>
#include <cstdlib>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace
{
constexpr uint32_t rawEventMask = XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE
                                | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE
                                | XCB_INPUT_XI_EVENT_MASK_RAW_MOTION;

double toDouble (xcb_input_fp3232_t value)
{
    return (double) value.integral + (double) value.frac / 4294967296.0;
}

juce::uint32 nowMs() { return juce::Time::getMillisecondCounter(); }

// True when the first time is later than the second (across a wrap of the counter too).
bool isAfter (juce::uint32 a, juce::uint32 b) { return (juce::int32) (a - b) > 0; }

RecentPosts::Kind keyKind (bool press)    { return press ? RecentPosts::Kind::keyPress : RecentPosts::Kind::keyRelease; }
RecentPosts::Kind buttonKind (bool press) { return press ? RecentPosts::Kind::buttonPress : RecentPosts::Kind::buttonRelease; }
} // namespace

std::unique_ptr<X11EventTap> X11EventTap::create (X11InputPlatform& platformToUse, Callback callbackToUse)
{
    auto tapConnection = std::make_unique<X11Connection> (platformToUse.getDisplayName());

    if (! tapConnection->isOk() || tapConnection->setUpXInput2() < 0 || tapConnection->setUpXkb() < 0)
    {
        DBGOrLog ("X11 input: cannot watch the input of " + platformToUse.getDisplayName());
        return {};
    }

    const int fd = eventfd (0, EFD_CLOEXEC | EFD_NONBLOCK);

    if (fd < 0)
        return {};

    return std::unique_ptr<X11EventTap> (new X11EventTap (platformToUse, std::move (callbackToUse),
                                                          std::move (tapConnection), fd));
}

X11EventTap::X11EventTap (X11InputPlatform& platformToUse, Callback callbackToUse,
                          std::unique_ptr<X11Connection> conn, int fd)
    : EventTap (platformToUse, std::move (callbackToUse)), owner (platformToUse),
      connection (std::move (conn)), wakeFd (fd)
{
    xinputOpcode = connection->setUpXInput2();
    xkbFirstEvent = connection->setUpXkb();
}

X11EventTap::~X11EventTap()
{
    close (wakeFd);
}

void X11EventTap::wakeLoop()
{
    const uint64_t one = 1;
    [[maybe_unused]] auto written = write (wakeFd, &one, sizeof (one));
}

bool X11EventTap::selectEvents (bool on)
{
    auto* c = connection->get();
    auto rawCookie = connection->selectRootInputEvents (on ? rawEventMask : 0);

    // A new keymap may move keys: follow it. Caps Lock is a lock the keymap
    // decides on: its changes come in order with the raw events.
    const uint16_t xkbEvents = on ? (XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_NAMES_NOTIFY) : 0;
    xcb_xkb_select_events_details_t details {};
    details.affectState = XCB_XKB_STATE_PART_MODIFIER_LOCK;
    details.stateDetails = on ? XCB_XKB_STATE_PART_MODIFIER_LOCK : 0;
    auto xkbCookie = xcb_xkb_select_events_aux_checked (
        c, XCB_XKB_ID_USE_CORE_KBD,
        XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_NAMES_NOTIFY | XCB_XKB_EVENT_TYPE_STATE_NOTIFY,
        0, xkbEvents, 0, 0, &details);

    // Devices that come, go or change (a tablet may take a mouse's old ID),
    // and the screen's size (the root window's, resized through RandR).
    auto deviceCookie = connection->selectRootInputEvents (
        on ? (XCB_INPUT_XI_EVENT_MASK_HIERARCHY | XCB_INPUT_XI_EVENT_MASK_DEVICE_CHANGED) : 0, XCB_INPUT_DEVICE_ALL);
    const uint32_t rootMask = on ? XCB_EVENT_MASK_STRUCTURE_NOTIFY : 0;
    auto rootCookie = xcb_change_window_attributes_checked (c, connection->getRoot(), XCB_CW_EVENT_MASK, &rootMask);

    bool ok = connection->isOk();

    for (auto cookie : { rawCookie, xkbCookie, deviceCookie, rootCookie })
    {
        auto* error = xcb_request_check (c, cookie);
        ok = ok && error == nullptr;
        std::free (error);
    }

    return ok;
}

void X11EventTap::readInitialState()
{
    auto* c = connection->get();
    keymap = X11Keymap::load (c);

    buttonsHeld = 0;
    initialFlags = 0;
    std::fill (std::begin (modifierKeysHeld), std::end (modifierKeysHeld), false);
    std::fill (std::begin (clickCounts), std::end (clickCounts), 0);
    lastClickButton = 0;

    if (auto* pointer = xcb_query_pointer_reply (c, xcb_query_pointer (c, connection->getRoot()), nullptr))
    {
        exactLocation = { (double) pointer->root_x, (double) pointer->root_y };
        const auto mask = pointer->mask;

        for (int button = 1; button <= 5; ++button)
            if ((mask & (XCB_BUTTON_MASK_1 << (button - 1))) != 0)
                buttonsHeld |= 1u << button;

        if ((mask & XCB_MOD_MASK_SHIFT) != 0)   initialFlags |= EventFlags::shift;
        if ((mask & XCB_MOD_MASK_CONTROL) != 0) initialFlags |= EventFlags::control;
        if ((mask & XCB_MOD_MASK_1) != 0)       initialFlags |= EventFlags::option;
        if ((mask & XCB_MOD_MASK_4) != 0)       initialFlags |= EventFlags::command;

        capsLocked = (mask & XCB_MOD_MASK_LOCK) != 0;

        std::free (pointer);
    }

    screen = { connection->getScreenWidth(), connection->getScreenHeight() };

    if (auto* geometry = xcb_get_geometry_reply (c, xcb_get_geometry (c, connection->getRoot()), nullptr))
    {
        screen = { geometry->width, geometry->height };
        std::free (geometry);
    }

    seenWarps = owner.getLastWarp().serial;
    devices.clear();
    positions.forgetAll();
    runStart.reset();
    owner.notePointerReported (location());
    repeating = false;
}

bool X11EventTap::run()
{
    // What the server delivered before this run started is stale.
    while (auto* stale = xcb_poll_for_event (connection->get()))
        std::free (stale);

    readAhead.clear();

    // Posts are recorded while no tap runs too: one made just before this run
    // may still reach it and must count as ours; the rest are forgotten once
    // the run has read what the server did for them.
    const auto startedMs = nowMs();

    // Watch first, so that the tap reports everything from the moment it
    // counts as running.
    bool ok = selectEvents (true);

    if (ok)
        readInitialState();

    if (! beginRun())
    {
        if (ok)
            selectEvents (false);

        return true;
    }

    if (ok)
    {
        // Whoever follows the pointer starts from where it is now.
        deliver (pointerNotice (location()));
        forgetPostsAddedBefore (startedMs);
    }

    while (ok && ! isStopRequested())
    {
        for (auto& event : takeHandedOverEvents())
            deliverHandedOver (event);

        handlePending();

        if (! connection->isOk())
        {
            DBGOrLog ("X11 input: the event tap lost the display");
            ok = false;
            break;
        }

        if (isStopRequested())
            break;

        forgetPostsAddedBefore (nowMs() - postGraceMs);
        const int waitMs = repeatIfDue();

        if (isStopRequested())
            break;

        pollfd fds[3] = { { connection->getFileDescriptor(), POLLIN, 0 },
                          { wakeFd, POLLIN, 0 },
                          { owner.getControlFileDescriptor(), POLLIN, 0 } };

        if (poll (fds, 3, waitMs) > 0)
        {
            if ((fds[1].revents & POLLIN) != 0)
            {
                uint64_t count = 0;
                [[maybe_unused]] auto readBytes = read (wakeFd, &count, sizeof (count));
            }

            // Nobody else reads the control connection's events (the grab's
            // among them) while the program only watches.
            if ((fds[2].revents & POLLIN) != 0)
                owner.drainEvents();
        }
    }

    if (connection->isOk())
        selectEvents (false);

    endRun();
    return ok;
}

void X11EventTap::handlePending()
{
    while (! isStopRequested())
    {
        auto events = takeEvents();

        if (events.empty())
            break;

        readMotions (events);

        for (auto& event : events)
        {
            if (isStopRequested())
                break;

            handle (event.get());
        }
    }
}

std::vector<X11EventTap::Event> X11EventTap::takeEvents()
{
    std::vector<Event> events;

    for (; ! readAhead.empty(); readAhead.pop_front())
        events.push_back (std::move (readAhead.front()));

    while (auto* event = xcb_poll_for_event (connection->get()))
        events.emplace_back (event);

    return events;
}

namespace
{
bool isRawMotion (const xcb_generic_event_t* event, int xinputOpcode)
{
    return (event->response_type & 0x7f) == XCB_GE_GENERIC
        && reinterpret_cast<const xcb_ge_generic_event_t*> (event)->extension == xinputOpcode
        && reinterpret_cast<const xcb_ge_generic_event_t*> (event)->event_type == XCB_INPUT_RAW_MOTION;
}
} // namespace

void X11EventTap::readMotions (std::vector<Event>& events)
{
    motionReadings.clear();
    serverPosition.reset();
    runStart.reset();

    const auto motions = std::count_if (events.begin(), events.end(),
                                        [this] (auto& e) { return isRawMotion (e.get(), xinputOpcode); });

    if (motions == 0)
    {
        for (auto& e : events)
            followChange (e.get());

        return;
    }

    // Where the server has the pointer now. Events carry the sequence number
    // of the last request the server had handled: those it sent before it
    // answered belong to this turn (the answer is where their last motion left
    // the pointer), the later ones wait for the next.
    auto* c = connection->get();
    const auto warpsBefore = owner.getLastWarp().serial;
    const auto cookie = xcb_query_pointer (c, connection->getRoot());

    if (auto* pointer = xcb_query_pointer_reply (c, cookie, nullptr))
    {
        serverPosition = juce::Point<int> (pointer->root_x, pointer->root_y);
        std::free (pointer);
    }

    warpsWhenAsked = owner.getLastWarp().serial;

    while (auto* event = xcb_poll_for_queued_event (c))
    {
        if (! readAhead.empty() || event->sequence == (uint16_t) cookie.sequence)
            readAhead.emplace_back (event);
        else
            events.emplace_back (event);
    }

    // Each motion's values, and what they may be.
    std::vector<MotionTrail::Motion> trail;

    for (auto& e : events)
    {
        if (followChange (e.get()) || ! isRawMotion (e.get(), xinputOpcode))
            continue;

        auto* raw = reinterpret_cast<const xcb_input_raw_button_press_event_t*> (e.get());
        MotionReading reading;
        auto& motion = reading.motion;
        motion.hasX = motion.hasY = false;

        if (raw->valuators_len > 0)
        {
            const auto* mask = xcb_input_raw_button_press_valuator_mask (raw);
            const auto* values = xcb_input_raw_button_press_axisvalues (raw);
            int index = 0;   // the values of the axes in the mask, in order

            for (int axis = 0; axis < 2; ++axis)
            {
                if ((mask[0] & (1u << axis)) == 0)
                    continue;

                (axis == 0 ? motion.values.x : motion.values.y) = toDouble (values[index++]);
                (axis == 0 ? motion.hasX : motion.hasY) = true;
            }
        }

        const auto& device = deviceOf (raw->sourceid);

        if (device.source == Source::positions)
        {
            const auto read = positions.read (raw->sourceid, device.x, device.y, motion, exactLocation, screen);
            motion.values = read.position;
            motion.hasX = motion.hasY = true;
            reading.delta = read.delta;
        }

        motion.mayBePosition = device.source != Source::moves;
        motion.mayBeMove = device.source != Source::positions;

        // XTest's absolute moves carry the position in both values: the
        // platform's own posts are recognised by it.
        if (device.source == Source::either && motion.hasX && motion.hasY
            && owner.getRecentPosts().claim (RecentPosts::Kind::motion, 0, motion.values.roundToInt()))
        {
            reading.marked = true;
            motion.mayBeMove = false;
        }

        motionReadings.push_back (reading);
        trail.push_back (motion);
    }

    if (motionReadings.empty())
        return;

    motionReadings.front().first = true;
    motionReadings.back().last = true;

    const auto warp = owner.getLastWarp();
    const auto start = warp.serial != seenWarps ? warp.location.toDouble() : exactLocation;
    const auto asPositions = MotionTrail::readAsPositions (start, trail, screen, serverPosition);

    for (size_t i = 0; i < motionReadings.size(); ++i)
        motionReadings[i].asPosition = asPositions[i];

    // Moves that do not lead from where the tap had the pointer to where the
    // server has it: something that makes no motion moved it first (another
    // program's warp; the tap cannot tell where among the moves it came).
    // The moves are taken to start where they must have.
    if (serverPosition.has_value() && warpsBefore == warpsWhenAsked && warp.serial == warpsWhenAsked)
    {
        const auto off = MotionTrail::pixelOf (MotionTrail::follow (start, trail, asPositions, screen)) - *serverPosition;

        if (std::abs (off.x) > 1 || std::abs (off.y) > 1)
        {
            runStart = MotionTrail::startOf (*serverPosition, trail, asPositions, screen);
            warpsWhenRunStartRead = warpsWhenAsked;
        }
    }
}

bool X11EventTap::followChange (const xcb_generic_event_t* event)
{
    const auto type = event->response_type & 0x7f;

    if (type == XCB_CONFIGURE_NOTIFY)
    {
        auto* configure = reinterpret_cast<const xcb_configure_notify_event_t*> (event);

        if (configure->window == connection->getRoot())
            screen = { configure->width, configure->height };

        return true;
    }

    if (type != XCB_GE_GENERIC || reinterpret_cast<const xcb_ge_generic_event_t*> (event)->extension != xinputOpcode)
        return false;

    const auto xiType = reinterpret_cast<const xcb_ge_generic_event_t*> (event)->event_type;

    if (xiType == XCB_INPUT_HIERARCHY)
    {
        // IDs may now name other devices.
        devices.clear();
        positions.forgetAll();
        return true;
    }

    if (xiType == XCB_INPUT_DEVICE_CHANGED)
    {
        auto* changed = reinterpret_cast<const xcb_input_device_changed_event_t*> (event);

        if (changed->reason == XCB_INPUT_CHANGE_REASON_DEVICE_CHANGE)
        {
            for (auto id : { changed->deviceid, changed->sourceid })
            {
                devices.erase (id);
                positions.forget (id);
            }
        }

        return true;
    }

    return false;
}

const X11EventTap::Device& X11EventTap::deviceOf (xcb_input_device_id_t id)
{
    if (auto known = devices.find (id); known != devices.end())
        return known->second;

    // XTest's pointer sends positions and moves alike; other devices send
    // moves when their axes are relative and positions when absolute.
    Device device;
    auto* c = connection->get();

    if (auto* reply = xcb_input_xi_query_device_reply (c, xcb_input_xi_query_device (c, id), nullptr))
    {
        auto infos = xcb_input_xi_query_device_infos_iterator (reply);

        if (infos.rem > 0)
        {
            const juce::String name (xcb_input_xi_device_info_name (infos.data),
                                     (size_t) xcb_input_xi_device_info_name_length (infos.data));
            device.source = Source::moves;

            for (auto classes = xcb_input_xi_device_info_classes_iterator (infos.data); classes.rem > 0;
                 xcb_input_device_class_next (&classes))
            {
                if (classes.data->type != XCB_INPUT_DEVICE_CLASS_TYPE_VALUATOR)
                    continue;

                auto* valuator = reinterpret_cast<const xcb_input_valuator_class_t*> (classes.data);

                if (valuator->number < 2 && valuator->mode == XCB_INPUT_VALUATOR_MODE_ABSOLUTE)
                {
                    device.source = Source::positions;
                    (valuator->number == 0 ? device.x : device.y) = { toDouble (valuator->min), toDouble (valuator->max) };
                }
            }

            if (name.endsWith ("XTEST pointer"))
                device.source = Source::either;
        }

        std::free (reply);
    }

    return devices[id] = device;
}

void X11EventTap::forgetPostsAddedBefore (juce::uint32 before)
{
    auto& posts = owner.getRecentPosts();

    if (! posts.hasEntryAddedBefore (before))
        return;

    // Whatever the server did for posts sent until now is on its way to us
    // once it has answered the platform's connection; a round trip on ours
    // then brings it in.
    if (! owner.syncControl() || ! connection->sync())
        return;

    handlePending();

    if (! isStopRequested())
        posts.forgetAddedBefore (before);
}

void X11EventTap::followRepeat (xcb_keycode_t keycode, int macKeyCode, bool press)
{
    if (! press)
    {
        if (repeating && keycode == repeatKeycode)
            repeating = false;

        return;
    }

    if (macKeyCode < 0 || MacKeyCodes::isModifierKey ((juce::uint16) macKeyCode))
        return;

    // Repeat as the server does: when repeating is on, and on for this key.
    auto* c = connection->get();
    auto* controls = xcb_xkb_get_controls_reply (c, xcb_xkb_get_controls (c, XCB_XKB_ID_USE_CORE_KBD), nullptr);

    if (controls == nullptr)
        return;

    const bool repeats = (controls->enabledControls & XCB_XKB_BOOL_CTRL_REPEAT_KEYS) != 0
                      && (controls->perKeyRepeat[keycode / 8] & (1u << (keycode % 8))) != 0
                      && controls->repeatInterval > 0;

    if (repeats)
    {
        repeating = true;
        repeatKeycode = keycode;
        repeatMacKeyCode = (juce::uint16) macKeyCode;
        repeatDueMs = nowMs() + controls->repeatDelay;
        repeatIntervalMs = controls->repeatInterval;
    }

    std::free (controls);
}

int X11EventTap::repeatIfDue()
{
    constexpr int idleWaitMs = 1000;

    if (! repeating)
        return idleWaitMs;

    const auto now = nowMs();

    if (isAfter (repeatDueMs, now))
        return juce::jmin (idleWaitMs, (int) (repeatDueMs - now));

    // One repeat per turn: a tap that fell behind does not catch up in a burst.
    repeatDueMs = isAfter (now, repeatDueMs + repeatIntervalMs) ? now + repeatIntervalMs
                                                                : repeatDueMs + repeatIntervalMs;
    InputEvent event;
    event.type = InputEventType::keyDown;
    event.keyCode = repeatMacKeyCode;
    event.flags = currentFlags();
    event.location = location();
    deliver (event);
    return 0;
}

void X11EventTap::handle (const xcb_generic_event_t* event)
{
    const auto type = event->response_type & 0x7f;

    if (type == XCB_GE_GENERIC)
    {
        auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*> (event);

        if (generic->extension == xinputOpcode)
            handleRaw (reinterpret_cast<const xcb_input_raw_button_press_event_t*> (event));

        return;
    }

    if (xkbFirstEvent >= 0 && type == xkbFirstEvent)
    {
        const auto xkbType = reinterpret_cast<const uint8_t*> (event)[1];

        if (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_NAMES_NOTIFY)
            if (auto fresh = X11Keymap::load (connection->get()))
                keymap = std::move (fresh);

        if (xkbType == XCB_XKB_STATE_NOTIFY)
            capsLocked = (reinterpret_cast<const xcb_xkb_state_notify_event_t*> (event)->lockedMods & XCB_MOD_MASK_LOCK) != 0;
    }
}

void X11EventTap::handleRaw (const xcb_input_raw_button_press_event_t* raw)
{
    switch (raw->event_type)
    {
        case XCB_INPUT_RAW_KEY_PRESS:
        case XCB_INPUT_RAW_KEY_RELEASE:
            handleKey ((xcb_keycode_t) raw->detail, raw->event_type == XCB_INPUT_RAW_KEY_PRESS);
            break;

        case XCB_INPUT_RAW_BUTTON_PRESS:
        case XCB_INPUT_RAW_BUTTON_RELEASE:
            handleButton ((int) raw->detail, raw->event_type == XCB_INPUT_RAW_BUTTON_PRESS, raw->time);
            break;

        case XCB_INPUT_RAW_MOTION:
            handleMotion();
            break;

        default:
            break;
    }
}

juce::uint64 X11EventTap::currentFlags() const
{
    auto flags = EventFlags::nonCoalesced | initialFlags;

    if (capsLocked)
        flags |= EventFlags::alphaShift;

    for (int i = 0; i < 10; ++i)
        if (modifierKeysHeld[i])
            flags |= MacKeyCodes::flagOfModifierKey ((juce::uint16) (MacKeyCodes::rightCommand + i));

    return flags;
}

void X11EventTap::handleKey (xcb_keycode_t keycode, bool press)
{
    InputEvent event;

    if (owner.getRecentPosts().claim (keyKind (press), keycode, {}))
        event.sourceUserData = kSyntheticEventMarker;

    const int macKeyCode = keymap != nullptr ? keymap->macKeyOfKeycode (keycode) : -1;

    if (! event.isMarked())
        followRepeat (keycode, macKeyCode, press);

    if (macKeyCode >= 0 && MacKeyCodes::isModifierKey ((juce::uint16) macKeyCode))
    {
        modifierKeysHeld[macKeyCode - MacKeyCodes::rightCommand] = press;

        if (! press)
            initialFlags &= ~MacKeyCodes::flagOfModifierKey ((juce::uint16) macKeyCode);

        event.type = InputEventType::flagsChanged;
        event.keyCode = (juce::uint16) macKeyCode;
    }
    else if (macKeyCode >= 0)
    {
        event.type = press ? InputEventType::keyDown : InputEventType::keyUp;
        event.keyCode = (juce::uint16) macKeyCode;
    }

    event.flags = currentFlags();
    event.location = location();
    deliver (event);
}

void X11EventTap::handleButton (int button, bool press, juce::uint32 time)
{
    const bool marked = owner.getRecentPosts().claim (buttonKind (press), (juce::uint32) button, {});

    // A wheel click is a press and a release: report the press alone.
    if (button >= 4 && button <= 7 && ! press)
        return;

    // Where the motions before it left the pointer.
    InputEvent event;
    event.location = location();
    event.flags = currentFlags();

    if (marked)
        event.sourceUserData = kSyntheticEventMarker;

    if (button >= 4 && button <= 7)
    {
        event.type = InputEventType::scrollWheel;
        const int pixels = button == 4 || button == 6 ? X11InputPlatform::pixelsPerWheelClick
                                                      : -X11InputPlatform::pixelsPerWheelClick;

        if (button <= 5)
            event.scrollDeltaAxis1 = pixels;
        else
            event.scrollDeltaAxis2 = pixels;

        deliver (event);
        return;
    }

    if (button < 32)
    {
        if (press)
            buttonsHeld |= 1u << button;
        else
            buttonsHeld &= ~(1u << button);
    }

    switch (button)
    {
        case 1:  event.buttonNumber = 0; break;
        case 3:  event.buttonNumber = 1; break;
        case 2:  event.buttonNumber = 2; break;
        default: event.buttonNumber = button - 5; break;
    }

    if (event.buttonNumber == 0)
        event.type = press ? InputEventType::leftMouseDown : InputEventType::leftMouseUp;
    else if (event.buttonNumber == 1)
        event.type = press ? InputEventType::rightMouseDown : InputEventType::rightMouseUp;
    else
        event.type = press ? InputEventType::otherMouseDown : InputEventType::otherMouseUp;

    const auto slot = (size_t) juce::jlimit (0, 31, button);

    if (press)
    {
        const bool again = button == lastClickButton && time - lastClickTime <= doubleClickMs
                        && location().getDistanceFrom (lastClickLocation) <= doubleClickDistance;
        clickCounts[slot] = again ? clickCounts[slot] + 1 : 1;
        lastClickButton = button;
        lastClickTime = time;
        lastClickLocation = location();
    }

    event.clickState = juce::jmax ((juce::int64) 1, clickCounts[slot]);
    deliver (event);
}

void X11EventTap::handleMotion()
{
    if (motionReadings.empty())
        return;

    const auto reading = motionReadings.front();
    motionReadings.pop_front();

    // A warp through the platform moved the pointer by the distance from the
    // last report to its target: the motions not yet reported start there.
    const auto warp = owner.getLastWarp();

    if (warp.serial != seenWarps)
    {
        seenWarps = warp.serial;
        exactLocation = warp.location.toDouble();
    }

    // Something that made no motion moved the pointer before these motions:
    // say where it was, then report them from there.
    if (reading.first && runStart.has_value() && warp.serial == warpsWhenRunStartRead)
    {
        exactLocation = *runStart;
        owner.notePointerReported (location());
        deliver (pointerNotice (location()));
    }

    const auto from = exactLocation;
    auto to = MotionTrail::apply (from, reading.motion, reading.asPosition, screen);

    // The server's word for the last motion it had sent, unless a warp moved
    // the pointer since it gave it.
    if (reading.last && serverPosition.has_value() && warp.serial == warpsWhenAsked
        && MotionTrail::pixelOf (to) != *serverPosition)
        to = serverPosition->toDouble();

    InputEvent event;

    if (reading.marked)
        event.sourceUserData = kSyntheticEventMarker;

    const auto previous = location();
    exactLocation = to;

    const auto& motion = reading.motion;

    if (reading.delta.has_value())
        event.delta = *reading.delta;
    else if (reading.asPosition || ! (motion.hasX || motion.hasY))
        event.delta = location() - previous;
    else
        event.delta = { motion.hasX ? motion.values.x : 0.0, motion.hasY ? motion.values.y : 0.0 };

    event.location = location();
    event.flags = currentFlags();
    owner.notePointerReported (location());

    if ((buttonsHeld & (1u << 1)) != 0)
        event.type = InputEventType::leftMouseDragged;
    else if ((buttonsHeld & (1u << 3)) != 0)
        event.type = InputEventType::rightMouseDragged;
    else if ((buttonsHeld & ~((1u << 1) | (1u << 3))) != 0)
        event.type = InputEventType::otherMouseDragged;
    else
        event.type = InputEventType::mouseMoved;

    deliver (event);
}
