#pragma once

#include <functional>

/** SIGTERM (what a session or service manager sends at logout), SIGHUP (a
    closed terminal) and SIGINT (Ctrl+C) end the program the way "Quit" does,
    with its shut-down, instead of killing it on the spot.

    A handler only notes the signal in a pipe; the message loop reads it and
    hands it on. Each handler runs once: the same signal again ends the
    process at once, so that a program stuck while ending can still be ended.
*/
namespace QuitSignals
{
    /** Catches SIGTERM, SIGHUP and SIGINT from now on, keeping them until
        watch() hands them on; one that the program was started to ignore (as
        nohup does with SIGHUP) stays ignored. Call early in main(), once. */
    void catchSignals();

    /** JUCE's message loop puts a handler of its own on SIGINT when it is
        set up, which would stop the loop without a word: call this once it
        is, and SIGINT is caught here again. Does nothing unless
        catchSignals() ran. */
    void takeInterruptBack();

    /** Calls onSignal on the message thread with each signal caught, also those
        caught before this call, until stopWatching(). Message thread; JUCE's
        message loop must exist. Does nothing unless catchSignals() ran. */
    void watch (std::function<void (int signal)> onSignal);

    /** Stops handing signals on. Message thread. */
    void stopWatching();
}
