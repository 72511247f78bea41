#include "input/KeyboardAndMouseListenerThread.h"

#include "core/Logging.h"
#include "input/EdgeCrossing.h"

#include <iostream>
#include <mutex>

namespace
{
// Key codes 55 to 59: Command, Shift, Caps Lock, Option, Control.
bool isModifierCode (juce::uint16 keyCode)  { return keyCode >= MacKeyCodes::command && keyCode <= MacKeyCodes::control; }

// The pause after a modifier key event that travels by name, so that the peer
// sees the modifier before the key it modifies.
constexpr int modifierPauseMs = 10;

// Pointer jumps this large (squared, per axis) are not digested.
constexpr double largestDigestedSquaredDelta = 100000.0;

constexpr int escapesToQuit = 3;
} // namespace

//==============================================================================
class KeyboardAndMouseListenerThread::Impl
{
public:
    Impl (InputHost& a, InputPlatform& p, SocketThread& s, MacKeyCodeWizard& k)
        : app (a), platform (p), socketThread (s), keys (k), edgeCrossing (a, p, s)
    {
    }

    /** Both ends are Macs: modifiers then travel only as flags. */
    bool bothMac() const
    {
        return socketThread.localOS == "MAC" && socketThread.getTargetOS() == "MAC";
    }

    /** The key code the tables give a modifier name; the usual macOS code when
        they have none (no layout). The tables are never changed by the lookup. */
    juce::uint16 codeOfModifier (const char* name, juce::uint16 usualCode) const
    {
        auto found = keys.nameToCode.find (name);
        return found != keys.nameToCode.end() ? found->second : usualCode;
    }

    InputHost& app;
    InputPlatform& platform;
    SocketThread& socketThread;
    MacKeyCodeWizard& keys;
    EdgeCrossing edgeCrossing;

    // The running tap, so that another thread can stop it.
    std::mutex tapLock;
    EventTap* tap = nullptr;

    // Event-tap thread only: the modifiers seen in the previous key, button or
    // wheel event, and whether a dead key waits for the next key.
    bool shiftKeyDown = false, optionKeyDown = false, controlKeyDown = false, commandKeyDown = false;
    bool deadKeyPending = false;
};

//==============================================================================
KeyboardAndMouseListenerThread::KeyboardAndMouseListenerThread (InputHost& app, InputPlatform& platform,
                                                                SocketThread& socketThread, MacKeyCodeWizard& keys)
    : juce::Thread ("KeyAndMouseListener"),
      impl (std::make_unique<Impl> (app, platform, socketThread, keys))
{
}

KeyboardAndMouseListenerThread::~KeyboardAndMouseListenerThread()
{
    if (isThreadRunning())
        DBGOrLog ("Stopping K&M listener thread");

    stopListening (-1);
}

bool KeyboardAndMouseListenerThread::stopListening (int timeoutMs)
{
    signalThreadShouldExit();

    {
        const std::lock_guard<std::mutex> sl (impl->tapLock);

        if (impl->tap != nullptr)
        {
            DBGOrLog ("Stopping CFRunloop...");
            impl->tap->stop();
        }
    }

    return waitForThreadToExit (timeoutMs);
}

void KeyboardAndMouseListenerThread::run()
{
    DBGOrLog ("Start listener thread");

    auto tap = impl->platform.createEventTap ([this] (EventTap&, InputEvent const& event)
    {
        return myCGEventCallback (event);
    });

    if (tap == nullptr)
    {
        std::cerr << "Failed to create event tap!" << std::endl;
        return;
    }

    {
        // A stop asked for before the tap was known makes its run end at once.
        const std::lock_guard<std::mutex> sl (impl->tapLock);
        impl->tap = tap.get();

        if (threadShouldExit())
            tap->stop();
    }

    tap->run();

    {
        const std::lock_guard<std::mutex> sl (impl->tapLock);
        impl->tap = nullptr;
    }

    tap.reset();
    DBGOrLog ("Exit listener thread");
}

//==============================================================================
EventTap::Verdict KeyboardAndMouseListenerThread::myCGEventCallback (InputEvent const& event)
{
    auto& app = impl->app;

    // What this program posted itself is neither claimed, queued nor withheld.
    // Its moves (replayed while receiving) still move the pointer: the next
    // local move starts where they left it.
    if (event.isMarked())
    {
        if (event.isMotion() && app.getActiveMonitorID() == app.getOwnID())
            app.setLocalCursor (event.location);

        return EventTap::Verdict::pass;
    }
    auto& socketThread = impl->socketThread;

    // One event at a time against the control operations of other threads.
    const juce::ScopedLock controlLock (app.getControlLock());

    // The pointer got somewhere no move took it (the tap's start, a warp by
    // another program): the next local move starts there. No hand made it.
    if (EventTap::isPointerNotice (event))
    {
        if (app.getActiveMonitorID() == app.getOwnID())
            app.setLocalCursor (event.location);

        return EventTap::Verdict::pass;
    }

    const auto flags = event.flags;

    // The modifiers an event shows pressed or released since the previous one
    // go down and up as keys of their own.
    auto followModifiers = [&]
    {
        struct Modifier
        {
            juce::uint64 mask;
            const char* name;
            juce::uint16 usualCode;
            bool& wasDown;
        };

        const Modifier modifiers[] = {
            { EventFlags::shift,   "Shift",   MacKeyCodes::shift,   impl->shiftKeyDown },
            { EventFlags::option,  "Option",  MacKeyCodes::option,  impl->optionKeyDown },
            { EventFlags::control, "Control", MacKeyCodes::control, impl->controlKeyDown },
            { EventFlags::command, "Command", MacKeyCodes::command, impl->commandKeyDown },
        };

        for (auto& m : modifiers)
        {
            const bool down = (flags & m.mask) != 0;
            const bool was = m.wasDown;
            m.wasDown = down;

            if (down == was)
                continue;

            const auto code = impl->codeOfModifier (m.name, m.usualCode);

            if (down)
            {
                digestKeyDown (code, flags);
            }
            else if (! impl->bothMac())
            {
                socketThread.sendKeyUp (code, flags);
                juce::Thread::sleep (modifierPauseMs);
            }
        }
    };

    auto queue = [&] (juce::uint32 type)
    {
        socketThread.queueEvent ([&] (SocketThread::EventPlusData& e)
        {
            e.type = type;
            e.flags = flags;

            if (type == 2 || type == 3)
                e.clickState = (juce::int32) (juce::uint32) event.clickState;
        });
    };

    switch (event.type)
    {
        case InputEventType::keyDown:
            app.inputReceived();
            followModifiers();
            digestKeyDown (event.keyCode, flags);
            break;

        case InputEventType::keyUp:
            app.inputReceived();
            followModifiers();

            if (! isModifierCode (event.keyCode))
            {
                socketThread.sendKeyUp (event.keyCode, flags);
            }
            else if (! impl->bothMac())
            {
                socketThread.sendKeyUp (event.keyCode, flags);
                juce::Thread::sleep (modifierPauseMs);
            }
            break;

        case InputEventType::leftMouseDown:
        case InputEventType::leftMouseUp:
            app.inputReceived();
            followModifiers();
            queue (event.type == InputEventType::leftMouseDown ? 2 : 3);
            break;

        case InputEventType::rightMouseDown:
            app.inputReceived();
            queue (4);
            break;

        case InputEventType::rightMouseUp:
            // Queued without claiming the input.
            queue (5);
            break;

        case InputEventType::mouseMoved:
            app.inputReceived();

            if (event.delta.x * event.delta.x < largestDigestedSquaredDelta
                && event.delta.y * event.delta.y < largestDigestedSquaredDelta)
                digestNewMousePosition (event.location.x, event.location.y, event.delta.x, event.delta.y, false);
            else if (app.getActiveMonitorID() == app.getOwnID())
                app.setLocalCursor (event.location);   // not digested, but the next move starts there

            return EventTap::Verdict::pass;

        case InputEventType::leftMouseDragged:
            app.inputReceived();
            digestNewMousePosition (event.location.x, event.location.y, event.delta.x, event.delta.y, true);
            return EventTap::Verdict::pass;

        case InputEventType::scrollWheel:
            app.inputReceived();
            followModifiers();
            socketThread.queueEvent ([&] (SocketThread::EventPlusData& e)
            {
                e.type = 7;
                e.wheelDelta = event.scrollDeltaAxis1;
            });
            break;

        case InputEventType::null:
        case InputEventType::rightMouseDragged:
        case InputEventType::flagsChanged:
        case InputEventType::otherMouseDown:
        case InputEventType::otherMouseUp:
        case InputEventType::otherMouseDragged:
        default:
            break;
    }

    const bool keepLocal = app.getActiveMonitorID() == app.getOwnID()
                        || app.getNumMachines() == 1
                        || socketThread.getMode() == SocketThread::Receiving;

    return keepLocal ? EventTap::Verdict::pass : EventTap::Verdict::swallow;
}

//==============================================================================
void KeyboardAndMouseListenerThread::digestKeyDown (juce::uint16 keyCode, juce::uint64 flags)
{
    auto& socketThread = impl->socketThread;
    auto& keys = impl->keys;
    const bool modifier = isModifierCode (keyCode);

    // Key down by code to a machine of the same system, by name to another;
    // then the Escape count.
    auto byKeyCode = [&]
    {
        socketThread.queueEvent ([&] (SocketThread::EventPlusData& e)
        {
            e.type = 8;

            if (socketThread.targetIsSameSystem())
            {
                e.keyCode = keyCode;
                e.flags = flags;
            }
            else
            {
                e.text = keys.getName (keyCode);
            }
        });

        if (modifier)
        {
            juce::Thread::sleep (modifierPauseMs);
            escapeCount = 0;
        }
        else if (keyCode == MacKeyCodes::escape)
        {
            if (++escapeCount == escapesToQuit)
                impl->app.stopMessageLoop();
        }
        else
        {
            escapeCount = 0;
        }
    };

    auto asCharacter = [&] (juce::String const& character)
    {
        socketThread.queueEvent ([&] (SocketThread::EventPlusData& e)
        {
            e.type = 10;
            e.text = character;
        });
    };

    if (impl->bothMac())
    {
        // Between two Macs modifiers travel only as the flags of other events.
        if (! modifier)
            byKeyCode();

        return;
    }

    KeyTranslation typed;

    if (keys.keyboardLayout != nullptr)
        typed = keys.keyboardLayout->translate (keyCode, keys.deadKeyState);

    // A dead key types nothing and leaves its accent pending for the next key.
    if (typed.length == 0 && ! modifier && keys.deadKeyState != 0)
    {
        impl->deadKeyPending = true;
        return;
    }

    if (! impl->deadKeyPending)
    {
        byKeyCode();
        return;
    }

    impl->deadKeyPending = false;

    // A key that types nothing (a modifier) ends the wait and goes by code.
    const auto text = typed.toString();

    if (text.isEmpty())
    {
        byKeyCode();
        return;
    }

    // What the key made of the pending accent: one composed character, or,
    // when the two do not compose, the accent followed by the key's own
    // character. Every character but the last goes as itself; the last one as
    // the key's name when it is a key name, else as itself.
    const int last = text.length() - 1;

    for (int i = 0; i < last; ++i)
        asCharacter (juce::String::charToString (text[i]));

    const auto character = juce::String::charToString (text[last]);

    if (keys.isKeyName (character))
        byKeyCode();
    else
        asCharacter (character);
}

void KeyboardAndMouseListenerThread::digestNewMousePosition (double x, double y, double dx, double dy, bool isDrag)
{
    impl->edgeCrossing.digestNewMousePosition (x, y, dx, dy, isDrag);
}
