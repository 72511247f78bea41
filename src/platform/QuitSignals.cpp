#include "platform/QuitSignals.h"

#include <juce_events/juce_events.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{
int pipeEnds[2] = { -1, -1 };
bool watching = false;
bool interruptIgnored = false;   // SIGINT was ignored when the program started
std::function<void (int)> handOn;

void noteSignal (int signal)
{
    auto const savedErrno = errno;
    auto const byte = (unsigned char) signal;
    [[maybe_unused]] auto const written = write (pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

void catchSignal (int signal)
{
    struct sigaction action {};
    action.sa_handler = noteSignal;
    action.sa_flags = (int) (SA_RESETHAND | SA_RESTART);
    sigemptyset (&action.sa_mask);
    sigaction (signal, &action, nullptr);
}

void readSignals (int fd)
{
    unsigned char byte = 0;

    while (read (fd, &byte, 1) == 1)
        if (handOn)
            handOn (byte);
}
} // namespace

namespace QuitSignals
{
void catchSignals()
{
    if (pipeEnds[0] >= 0 || pipe2 (pipeEnds, O_NONBLOCK | O_CLOEXEC) != 0)
        return;

    // A signal the program was started to ignore (nohup) stays ignored.
    for (auto signal : { SIGTERM, SIGHUP, SIGINT })
    {
        struct sigaction current {};

        if (sigaction (signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            catchSignal (signal);
        else if (signal == SIGINT)
            interruptIgnored = true;
    }
}

void takeInterruptBack()
{
    if (pipeEnds[0] < 0)
        return;

    if (interruptIgnored)
        signal (SIGINT, SIG_IGN);
    else
        catchSignal (SIGINT);
}

void watch (std::function<void (int)> onSignal)
{
    if (pipeEnds[0] < 0)
        return;

    handOn = std::move (onSignal);

    if (! watching)
        juce::LinuxEventLoop::registerFdCallback (pipeEnds[0], readSignals);

    watching = true;   // signals caught before are waiting in the pipe
}

void stopWatching()
{
    if (watching)
        juce::LinuxEventLoop::unregisterFdCallback (pipeEnds[0]);

    watching = false;
    handOn = nullptr;
}
} // namespace QuitSignals
