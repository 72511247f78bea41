#include "support/ScopedXvfb.h"

#include <xcb/xcb.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace
{
bool answers (juce::String const& display)
{
    auto* connection = xcb_connect (display.toRawUTF8(), nullptr);
    const bool ok = xcb_connection_has_error (connection) == 0;
    xcb_disconnect (connection);
    return ok;
}

juce::File lockFile (int number) { return juce::File ("/tmp/.X" + juce::String (number) + "-lock"); }

bool hasExited (pid_t pid) { return waitpid (pid, nullptr, WNOHANG) == pid; }

// Asks the server to go, and makes it go when it takes longer than 5 s.
void end (pid_t pid)
{
    kill (pid, SIGTERM);

    for (int i = 0; i < 250; ++i, juce::Thread::sleep (20))
        if (hasExited (pid))
            return;

    kill (pid, SIGKILL);
    waitpid (pid, nullptr, 0);
}
} // namespace

ScopedXvfb::ScopedXvfb (juce::StringArray const& extraArguments)
{
    // Display numbers are shared by every process of the machine (lock files
    // and sockets live in /tmp) while test processes have network namespaces
    // of their own: a number is ours only when our server wrote its process id
    // into the lock file and answers. Start where this process is unlikely to
    // meet another one, and move on when a server refuses the number.
    const auto deadline = juce::Time::getMillisecondCounter() + 15000u;

    for (unsigned attempt = 0; attempt < 20 && juce::Time::getMillisecondCounter() < deadline; ++attempt)
    {
        const int candidate = 300 + (int) (((unsigned) getpid() * 7u + attempt) % 600u);
        const auto display = ":" + juce::String (candidate);

        if (lockFile (candidate).exists() || juce::File ("/tmp/.X11-unix/X" + juce::String (candidate)).exists())
            continue;

        juce::StringArray arguments { "Xvfb", display, "-noreset", "-nolisten", "tcp", "-screen", "0", "1920x1080x24" };
        arguments.addArray (extraArguments);
        std::vector<char*> argv;

        for (auto& argument : arguments)
            argv.push_back (const_cast<char*> (argument.toRawUTF8()));

        argv.push_back (nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_addopen (&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen (&actions, 2, "/dev/null", O_WRONLY, 0);
        const bool spawned = posix_spawnp (&pid, "Xvfb", &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy (&actions);

        if (! spawned)
            break;

        bool exited = false;

        while (! (exited = hasExited (pid)) && juce::Time::getMillisecondCounter() < deadline)
        {
            if (lockFile (candidate).loadFileAsString().trim().getIntValue() == pid && answers (display))
            {
                number = candidate;
                return;
            }

            juce::Thread::sleep (20);
        }

        if (! exited)
            end (pid);
    }

    pid = -1;
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
