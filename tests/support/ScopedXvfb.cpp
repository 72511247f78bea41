#include "support/ScopedXvfb.h"

#include <xcb/xcb.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{
constexpr int startTimeoutMs = 15000;

bool answers (const juce::String& display)
{
    auto* connection = xcb_connect (display.toRawUTF8(), nullptr);
    const bool ok = xcb_connection_has_error (connection) == 0;
    xcb_disconnect (connection);
    return ok;
}
} // namespace

ScopedXvfb::ScopedXvfb()
{
    int fds[2];

    if (pipe2 (fds, O_CLOEXEC) != 0)
        return;

    // Only the write end goes to the server, which prints its display number there.
    fcntl (fds[1], F_SETFD, 0);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_addopen (&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen (&actions, 2, "/dev/null", O_WRONLY, 0);

    const auto fdText = std::to_string (fds[1]);
    const char* argv[] = { "Xvfb", "-displayfd", fdText.c_str(), "-noreset", "-nolisten", "tcp",
                           "-screen", "0", "1920x1080x24", nullptr };

    const int spawned = posix_spawnp (&pid, "Xvfb", &actions, nullptr, const_cast<char**> (argv), environ);
    posix_spawn_file_actions_destroy (&actions);
    close (fds[1]);

    if (spawned != 0)
    {
        pid = -1;
        close (fds[0]);
        return;
    }

    std::string text;
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) startTimeoutMs;

    while (text.find ('\n') == std::string::npos)
    {
        const auto now = juce::Time::getMillisecondCounter();

        if (now >= deadline)
            break;

        pollfd p { fds[0], POLLIN, 0 };

        if (poll (&p, 1, (int) (deadline - now)) <= 0)
            break;

        char buffer[32];
        const auto got = read (fds[0], buffer, sizeof (buffer));

        if (got <= 0)
            break;

        text.append (buffer, (size_t) got);
    }

    close (fds[0]);

    if (text.find ('\n') == std::string::npos)
        return;

    const int found = std::atoi (text.c_str());

    while (juce::Time::getMillisecondCounter() < deadline)
    {
        if (answers (":" + juce::String (found)))
        {
            number = found;
            return;
        }

        juce::Thread::sleep (20);
    }
}

ScopedXvfb::~ScopedXvfb()
{
    if (pid <= 0)
        return;

    kill (pid, SIGTERM);

    for (int i = 0; i < 250; ++i)
    {
        if (waitpid (pid, nullptr, WNOHANG) == pid)
            return;

        juce::Thread::sleep (20);
    }

    kill (pid, SIGKILL);
    waitpid (pid, nullptr, 0);
}

bool ScopedXvfb::runClient (const juce::StringArray& command, int timeoutMs) const
{
    if (command.isEmpty() || ! isRunning())
        return false;

    juce::StringArray arguments;
    arguments.add (command[0]);
    arguments.add ("-display");
    arguments.add (getDisplayName());

    for (int i = 1; i < command.size(); ++i)
        arguments.add (command[i]);

    juce::ChildProcess process;

    if (! process.start (arguments, 0))
        return false;

    if (! process.waitForProcessToFinish (timeoutMs))
    {
        process.kill();
        return false;
    }

    return process.getExitCode() == 0;
}
