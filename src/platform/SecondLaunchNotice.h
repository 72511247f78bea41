#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>

/** Tells the running instance that the program was launched again.

    JUCE's single-instance lock keeps a second instance from running, but on
    Linux it tells the first one nothing (its broadcast does nothing there). So
    the instance that holds the lock listens on a per-user named pipe, and a
    launch that JUCE refuses sends its command line there before it quits.

    The pipe is a pair of FIFOs, <getPipeFolder()>/<getPipeName()>_in and
    _out, private to the user. FIFOs left behind by a crash are replaced when the next running
    instance starts listening; FIFOs of that name that are not this user's own
    FIFOs are never used.

    In the application: the instance that holds the lock (the one whose
    initialise() runs) creates a SecondLaunchNotice, which calls back
    anotherInstanceStarted; a launch that JUCE refuses (its initialise() never
    runs, but its shutdown() does) calls tellRunningInstance().
*/
class SecondLaunchNotice
{
public:
    using Handler = std::function<void (juce::String const& commandLine)>;

    /** Starts listening. The handler runs on the message thread, once for every
        later launch. Construct and destroy on the message thread, and only in
        the instance that holds the single-instance lock. */
    explicit SecondLaunchNotice (Handler onSecondLaunch);
    ~SecondLaunchNotice();

    /** False when the pipe could not be made. */
    bool isListening() const;

    /** Sends a command line to the listening instance. Returns false when no
        instance listens (also when only a crash's FIFOs are left), after at
        most timeoutMs. A command line is cut to 3,500 bytes of UTF-8. */
    static bool tellRunningInstance (juce::String const& commandLine, int timeoutMs = 1000);

    /** The folder of the pipe: the user's runtime folder ($XDG_RUNTIME_DIR)
        when there is one, else /tmp (where JUCE puts pipes). Both launches
        must see the same folder: a launch from a session with another runtime
        folder is not noticed. */
    static juce::File getPipeFolder();

    /** The pipe's name: "Corvelline-" and the user's id. */
    static juce::String getPipeName();

private:
    class Listener;
    std::unique_ptr<Listener> listener;
};
