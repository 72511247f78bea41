#include "support/ScopedXvfb.h"

#include <xcb/xcb.h>

#include <cstdio>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace
{
constexpr int startTimeoutMs = 15000;
constexpr int firstNumber = 300, numbers = 600, attempts = 20;

bool answers (const juce::String& display)
{
    auto* connection = xcb_connect (display.toRawUTF8(), nullptr);
    const bool ok = xcb_connection_has_error (connection) == 0;
    xcb_disconnect (connection);
    return ok;
}

bool inUse (int number)
{
    const auto n = std::to_string (number);
    return access (("/tmp/.X" + n + "-lock").c_str(), F_OK) == 0
        || access (("/tmp/.X11-unix/X" + n).c_str(), F_OK) == 0;
}

bool hasExited (pid_t pid)
{
    return waitpid (pid, nullptr, WNOHANG) == pid;
}

// The server that holds a display number writes its process id into the lock file.
bool holdsLock (pid_t pid, int number)
{
    char text[32] = {};

    if (auto* file = std::fopen (("/tmp/.X" + std::to_string (number) + "-lock").c_str(), "r"))
    {
        [[maybe_unused]] auto got = std::fread (text, 1, sizeof (text) - 1, file);
        std::fclose (file);
    }

    return std::atoi (text) == pid;
}
} // namespace

ScopedXvfb::ScopedXvfb (juce::StringArray const& extraArguments)
{
    // Display numbers are shared by every process of the machine (the lock
    // files and sockets live in /tmp), while test processes sit in network
    // namespaces of their own: an explicit number with its lock file is what
    // keeps two servers apart. Start where this process is unlikely to meet
    // another one, and move on when a server refuses the number.
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) startTimeoutMs;
    int candidate = firstNumber + (int) ((unsigned) getpid() * 7u % (unsigned) numbers);

    for (int attempt = 0; attempt < attempts && juce::Time::getMillisecondCounter() < deadline;
         ++attempt, candidate = firstNumber + (candidate - firstNumber + 1) % numbers)
    {
        if (inUse (candidate))
            continue;

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init (&actions);
        posix_spawn_file_actions_addopen (&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen (&actions, 2, "/dev/null", O_WRONLY, 0);

        const auto display = ":" + std::to_string (candidate);
        std::vector<std::string> arguments { "Xvfb", display, "-noreset", "-nolisten", "tcp",
                                             "-screen", "0", "1920x1080x24" };

        for (auto& extra : extraArguments)
            arguments.push_back (extra.toStdString());

        std::vector<char*> argv;

        for (auto& argument : arguments)
            argv.push_back (argument.data());

        argv.push_back (nullptr);

        const int spawned = posix_spawnp (&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy (&actions);

        if (spawned != 0)
        {
            pid = -1;
            return;
        }

        while (juce::Time::getMillisecondCounter() < deadline)
        {
            if (hasExited (pid))
                break;

            // It answers, and it is ours that does.
            if (holdsLock (pid, candidate) && answers (display) && ! hasExited (pid))
            {
                number = candidate;
                return;
            }

            juce::Thread::sleep (20);
        }

        if (! hasExited (pid))
        {
            kill (pid, SIGKILL);
            waitpid (pid, nullptr, 0);
        }

        pid = -1;
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

    if (! process.start (arguments, juce::ChildProcess::wantStdOut | juce::ChildProcess::wantStdErr))
        return false;

    // Reading the output also waits for the end; the time-out bounds it.
    juce::String output;
    const auto deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    while (process.isRunning() && juce::Time::getMillisecondCounter() < deadline)
    {
        char buffer[512];
        const auto got = process.readProcessOutput (buffer, sizeof (buffer));

        if (got > 0)
            output += juce::String::fromUTF8 (buffer, got);
        else
            juce::Thread::sleep (5);
    }

    if (process.isRunning())
    {
        process.kill();
        std::fprintf (stderr, "%s timed out\n", arguments.joinIntoString (" ").toRawUTF8());
        return false;
    }

    output += process.readAllProcessOutput();
    const auto exitCode = process.getExitCode();

    if (exitCode != 0)
        std::fprintf (stderr, "%s failed (%u): %s\n", arguments.joinIntoString (" ").toRawUTF8(),
                      exitCode, output.toRawUTF8());

    return exitCode == 0;
}

ScopedDisplay::ScopedDisplay (juce::String const& displayName)
    : saved (std::getenv ("DISPLAY")), hadOne (std::getenv ("DISPLAY") != nullptr)
{
    setenv ("DISPLAY", displayName.toRawUTF8(), 1);
}

ScopedDisplay::~ScopedDisplay()
{
    if (hadOne)
        setenv ("DISPLAY", saved.toRawUTF8(), 1);
    else
        unsetenv ("DISPLAY");
}
