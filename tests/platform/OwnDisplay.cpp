#include "OwnDisplay.h"

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
bool answers (juce::String const& displayName)
{
    auto* connection = xcb_connect (displayName.toRawUTF8(), nullptr);
    bool ok = xcb_connection_has_error (connection) == 0;
    xcb_disconnect (connection);
    return ok;
}

bool waitForExit (int pid, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 10)
    {
        if (waitpid (pid, nullptr, WNOHANG) == pid)
            return true;

        usleep (10000);
    }

    return false;
}
} // namespace

OwnDisplay::OwnDisplay (juce::StringArray const& extraArguments)
{
    int number = -1;

    for (int n = 200; n < 300 && number < 0; ++n)
        if (! juce::File ("/tmp/.X11-unix/X" + juce::String (n)).exists() && ! juce::File ("/tmp/.X" + juce::String (n) + "-lock").exists())
            number = n;

    if (number < 0)
        return;

    name = ":" + juce::String (number);
    juce::StringArray arguments { "Xvfb", name, "-noreset", "-nolisten", "tcp", "-screen", "0", "640x480x24" };
    arguments.addArray (extraArguments);

    std::vector<std::string> storage;
    for (auto& argument : arguments)
        storage.push_back (argument.toStdString());

    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back (s.data());
    argv.push_back (nullptr);

    pid = fork();

    if (pid == 0)
    {
        freopen ("/dev/null", "w", stdout);
        freopen ("/dev/null", "w", stderr);
        execvp ("Xvfb", argv.data());
        _exit (127);
    }

    for (int waited = 0; pid > 0 && waited < 10000 && ! running; waited += 20)
    {
        running = answers (name);

        if (! running)
            usleep (20000);
    }
}

OwnDisplay::~OwnDisplay()
{
    if (pid <= 0)
        return;

    kill (pid, SIGTERM);

    if (! waitForExit (pid, 5000))
    {
        kill (pid, SIGKILL);
        waitForExit (pid, 5000);
    }
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
