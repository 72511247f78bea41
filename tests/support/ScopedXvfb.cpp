#include "support/ScopedXvfb.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>
#include <vector>

extern char** environ;

namespace
{
// Asks the server to go, and makes it go when it takes longer than 5 s.
void end (pid_t pid)
{
    kill (pid, SIGTERM);

    for (int i = 0; i < 250; ++i, juce::Thread::sleep (20))
        if (waitpid (pid, nullptr, WNOHANG) == pid)
            return;

    kill (pid, SIGKILL);
    waitpid (pid, nullptr, 0);
}
} // namespace

ScopedXvfb::ScopedXvfb (juce::StringArray const& extraArguments)
{
    // The server takes the first display number that is free on the machine
    // (lock files and sockets in /tmp are shared with the other test processes)
    // and writes it to a pipe once it accepts connections.
    int ends[2];

    if (pipe (ends) != 0)
        return;

    juce::StringArray arguments { "Xvfb", "-displayfd", juce::String (ends[1]), "-noreset", "-nolisten", "tcp", "-screen", "0", "1920x1080x24" };
    arguments.addArray (extraArguments);
    std::vector<char*> argv;

    for (auto& argument : arguments)
        argv.push_back (const_cast<char*> (argument.toRawUTF8()));

    argv.push_back (nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addclose (&actions, ends[0]);
    posix_spawn_file_actions_addopen (&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen (&actions, 2, "/dev/null", O_WRONLY, 0);

    if (posix_spawnp (&pid, "Xvfb", &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;

    posix_spawn_file_actions_destroy (&actions);
    close (ends[1]);
    pollfd ready { ends[0], POLLIN, 0 };
    char text[16] = {};

    if (pid > 0 && poll (&ready, 1, 15000) == 1 && read (ends[0], text, sizeof (text) - 1) > 0)
        number = juce::String (text).trim().getIntValue();
    else if (pid > 0)
        end (std::exchange (pid, -1));

    close (ends[0]);
}

ScopedXvfb::~ScopedXvfb()
{
    if (pid > 0)
        end (pid);
}

bool ScopedXvfb::runClient (juce::StringArray command, int timeoutMs) const
{
    command.insert (1, "-display");
    command.insert (2, getDisplayName());
    juce::ChildProcess process;

    if (! isRunning() || ! process.start (command, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
        return false;

    const bool finished = process.waitForProcessToFinish (timeoutMs);

    if (finished && process.getExitCode() == 0)
        return true;

    if (! finished)
        process.kill();

    std::fprintf (stderr, "%s failed: %s\n", command.joinIntoString (" ").toRawUTF8(),
                  process.readAllProcessOutput().toRawUTF8());
    return false;
}
