#include "support/NetLab.h"

#include "support/TestEnvironment.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#ifndef CORVELLINE_TEST_MACHINE
 #error "CORVELLINE_TEST_MACHINE must name the test-machine program"
#endif

namespace
{
juce::String uniqueTag()
{
    return juce::String (getpid() % 10000);
}
} // namespace

//==============================================================================
NetLab::Machine::Machine (juce::String nameToUse, juce::File homeToUse, juce::File tempToUse)
    : name (std::move (nameToUse)), home (std::move (homeToUse)), temp (std::move (tempToUse))
{
}

NetLab::Machine::~Machine()
{
    stop();
}

bool NetLab::Machine::send (juce::String const& command)
{
    auto line = (command + "\n").toStdString();
    return toMachine >= 0 && ::write (toMachine, line.data(), line.size()) == (ssize_t) line.size();
}

void NetLab::Machine::readAvailable (int timeoutMs)
{
    if (fromMachine < 0)
        return;

    pollfd p { fromMachine, POLLIN, 0 };

    if (::poll (&p, 1, timeoutMs) <= 0)
        return;

    char chunk[4096];
    auto n = ::read (fromMachine, chunk, sizeof (chunk));

    if (n <= 0)
    {
        ::close (fromMachine);
        fromMachine = -1;
        return;
    }

    buffer.append (chunk, (size_t) n);

    for (auto end = buffer.find ('\n'); end != std::string::npos; end = buffer.find ('\n'))
    {
        lines.add (juce::String::fromUTF8 (buffer.data(), (int) end));
        consumed.push_back (false);
        buffer.erase (0, end + 1);
    }
}

std::optional<juce::String> NetLab::Machine::waitForLine (juce::String const& prefix, int timeoutMs)
{
    auto const deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    for (;;)
    {
        for (int i = 0; i < lines.size(); ++i)
        {
            if (! consumed[(size_t) i] && lines[i].startsWith (prefix))
            {
                consumed[(size_t) i] = true;
                return lines[i];
            }
        }

        auto now = juce::Time::getMillisecondCounter();

        if (now >= deadline || fromMachine < 0)
            return std::nullopt;

        readAvailable ((int) juce::jmin<juce::uint32> (50, deadline - now));
    }
}

juce::StringArray NetLab::Machine::getLines()
{
    readAvailable (0);
    return lines;
}

void NetLab::Machine::forgetLines()
{
    readAvailable (0);
    std::fill (consumed.begin(), consumed.end(), true);
}

void NetLab::Machine::kill()
{
    if (pid > 0)
    {
        ::kill (pid, SIGKILL);
        int status = 0;
        ::waitpid (pid, &status, 0);
        pid = -1;
    }
}

void NetLab::Machine::stop()
{
    if (pid > 0)
    {
        send ("quit");
        bool ended = false;

        for (int i = 0; i < 100 && ! ended; ++i)
        {
            int status = 0;
            ended = ::waitpid (pid, &status, WNOHANG) == pid;

            if (! ended)
                juce::Thread::sleep (50);
        }

        if (! ended)
        {
            ::kill (pid, SIGKILL);
            int status = 0;
            ::waitpid (pid, &status, 0);
        }

        pid = -1;
    }

    if (toMachine >= 0)   { ::close (toMachine); toMachine = -1; }
    if (fromMachine >= 0) { ::close (fromMachine); fromMachine = -1; }
}

//==============================================================================
NetLab::NetLab() = default;

NetLab::~NetLab()
{
    machines.clear();

    for (auto const& link : ownLinks)
        ip ("link del " + link);
}

bool NetLab::ip (juce::String const& arguments)
{
    return TestEnvironment::runIp (arguments);
}

NetLab::Machine* NetLab::startMachine (juce::String const& name)
{
    if (! TestEnvironment::inPrivateNetworkNamespace())
        return nullptr;

    auto base = TestEnvironment::getTemp().getParentDirectory().getChildFile ("machine-" + name);
    auto machine = std::unique_ptr<Machine> (new Machine (name, base.getChildFile ("home"), base.getChildFile ("tmp")));
    machine->home.createDirectory();
    machine->temp.createDirectory();

    int in[2], out[2];

    if (::pipe (in) != 0 || ::pipe (out) != 0)
        return nullptr;

    std::vector<std::string> envStrings;

    for (char** e = environ; *e != nullptr; ++e)
    {
        juce::String entry (*e);

        if (! entry.startsWith ("HOME=") && ! entry.startsWith ("TMPDIR="))
            envStrings.push_back (*e);
    }

    envStrings.push_back (("HOME=" + machine->home.getFullPathName()).toStdString());
    envStrings.push_back (("TMPDIR=" + machine->temp.getFullPathName()).toStdString());

    std::vector<char*> env;
    for (auto& s : envStrings)
        env.push_back (s.data());
    env.push_back (nullptr);

    std::string program = CORVELLINE_TEST_MACHINE;
    std::string machineName = name.toStdString();
    char* argv[] = { program.data(), machineName.data(), nullptr };

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_adddup2 (&actions, in[0], 0);
    posix_spawn_file_actions_adddup2 (&actions, out[1], 1);
    posix_spawn_file_actions_addclose (&actions, in[1]);
    posix_spawn_file_actions_addclose (&actions, out[0]);

    pid_t pid = -1;
    auto result = posix_spawn (&pid, program.c_str(), &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy (&actions);
    ::close (in[0]);
    ::close (out[1]);

    machine->toMachine = in[1];
    machine->fromMachine = out[0];

    if (result != 0)
    {
        machine->stop();
        return nullptr;
    }

    machine->pid = pid;
    auto* raw = machine.get();
    machines.push_back (std::move (machine));

    if (! raw->waitForLine ("ready", 15000))
        return nullptr;

    return raw;
}

bool NetLab::configure (Machine& machine, juce::String const& address)
{
    machine.send ("net " + address + "/24 eth0");

    if (! machine.waitForLine ("ok net", 15000))
        return false;

    machine.address = address;
    return true;
}

bool NetLab::linkToTest (Machine& machine, juce::String const& address, juce::String const& localAddress)
{
    auto link = "lab" + uniqueTag() + "x" + juce::String (nextLink++);

    if (! ip ("link add " + link + " type veth peer name eth0 netns " + juce::String (machine.pid)))
        return false;

    ownLinks.add (link);
    return ip ("addr add " + localAddress + "/24 dev " + link)
        && ip ("link set " + link + " up")
        && configure (machine, address);
}

bool NetLab::linkToHub (Machine& machine, juce::String const& address)
{
    auto const hub = "hub" + uniqueTag();

    if (! hubMade)
    {
        if (! ip ("link add " + hub + " type bridge") || ! ip ("link set " + hub + " up"))
            return false;

        ownLinks.add (hub);
        hubMade = true;
    }

    auto link = "lab" + uniqueTag() + "x" + juce::String (nextLink++);

    if (! ip ("link add " + link + " type veth peer name eth0 netns " + juce::String (machine.pid)))
        return false;

    ownLinks.insert (0, link);
    return ip ("link set " + link + " master " + hub)
        && ip ("link set " + link + " up")
        && configure (machine, address);
}
