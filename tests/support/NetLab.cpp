#include "support/NetLab.h"

#include "support/TestEnvironment.h"

#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#ifndef CORVELLINE_TEST_MACHINE
 #error "CORVELLINE_TEST_MACHINE must name the test-machine program"
#endif

NetLab::Machine::~Machine()
{
    kill();
    ::close (channel);
}

bool NetLab::Machine::send (juce::String const& command)
{
    auto line = (command + "\n").toStdString();
    return ::write (channel, line.data(), line.size()) == (ssize_t) line.size();
}

bool NetLab::Machine::readAvailable (int timeoutMs)
{
    pollfd p { channel, POLLIN, 0 };
    char chunk[4096];

    if (channel < 0 || ::poll (&p, 1, timeoutMs) <= 0)
        return false;

    auto n = ::read (channel, chunk, sizeof (chunk));

    if (n <= 0)
    {
        ::close (channel);
        channel = -1;
        return false;
    }

    buffer.append (chunk, (size_t) n);

    for (auto end = buffer.find ('\n'); end != std::string::npos; end = buffer.find ('\n'))
    {
        pending.add (juce::String::fromUTF8 (buffer.data(), (int) end));
        buffer.erase (0, end + 1);
    }

    return true;
}

std::optional<juce::String> NetLab::Machine::waitForLine (juce::String const& prefix, int timeoutMs)
{
    auto const deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;

    for (;;)
    {
        for (int i = 0; i < pending.size(); ++i)
        {
            if (pending[i].startsWith (prefix))
            {
                auto line = pending[i];
                pending.remove (i);
                return line;
            }
        }

        auto now = juce::Time::getMillisecondCounter();

        if (now >= deadline || channel < 0)
            return std::nullopt;

        readAvailable ((int) juce::jmin<juce::uint32> (50, deadline - now));
    }
}

void NetLab::Machine::forgetLines()
{
    while (readAvailable (0)) {}
    pending.clear();
}

void NetLab::Machine::kill()
{
    if (pid > 0 && ::kill (pid, SIGKILL) == 0)
        ::waitpid (pid, nullptr, 0);

    pid = -1;
}

//==============================================================================
NetLab::NetLab()
{
    ::signal (SIGPIPE, SIG_IGN);   // a machine that has ended must not end the test with it
}

NetLab::~NetLab()
{
    machines.clear();

    if (hubMade)
        TestEnvironment::runIp ("link del hub");
}

NetLab::Machine* NetLab::startMachine (juce::String const& name)
{
    auto base = TestEnvironment::getTemp().getParentDirectory().getChildFile ("machine-" + name);
    machines.push_back (std::unique_ptr<Machine> (new Machine (base.getChildFile ("home"), base.getChildFile ("tmp"))));
    auto& machine = *machines.back();
    int ends[2];

    if (! TestEnvironment::inPrivateNetworkNamespace() || ! machine.home.createDirectory()
        || ! machine.temp.createDirectory() || ::socketpair (AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        return nullptr;

    // The program takes its HOME and TMPDIR as arguments.
    std::string program = CORVELLINE_TEST_MACHINE, home = machine.home.getFullPathName().toStdString(),
                temp = machine.temp.getFullPathName().toStdString();
    char* argv[] = { program.data(), home.data(), temp.data(), nullptr };

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init (&actions);
    posix_spawn_file_actions_adddup2 (&actions, ends[1], 0);
    posix_spawn_file_actions_adddup2 (&actions, ends[1], 1);
    posix_spawn_file_actions_addclose (&actions, ends[0]);

    if (posix_spawn (&machine.pid, program.c_str(), &actions, nullptr, argv, environ) != 0)
        machine.pid = -1;

    posix_spawn_file_actions_destroy (&actions);
    ::close (ends[1]);
    machine.channel = ends[0];
    return machine.waitForLine ("ready") ? &machine : nullptr;
}

juce::String NetLab::addLink (Machine& machine)
{
    auto link = "lab" + juce::String (nextLink++);
    return TestEnvironment::runIp ("link add " + link + " type veth peer name eth0 netns " + juce::String (machine.pid)) ? link : "";
}

bool NetLab::configure (Machine& machine, juce::String const& address)
{
    return machine.send ("net " + address + "/24 eth0") && machine.waitForLine ("ok net").has_value();
}

bool NetLab::linkToTest (Machine& machine, juce::String const& address, juce::String const& localAddress)
{
    auto link = addLink (machine);
    return link.isNotEmpty() && TestEnvironment::runIp ("addr add " + localAddress + "/24 dev " + link)
        && TestEnvironment::runIp ("link set " + link + " up") && configure (machine, address);
}

bool NetLab::linkToHub (Machine& machine, juce::String const& address)
{
    if (! hubMade)
        hubMade = TestEnvironment::runIp ("link add hub type bridge") && TestEnvironment::runIp ("link set hub up");

    auto link = addLink (machine);
    return hubMade && link.isNotEmpty() && TestEnvironment::runIp ("link set " + link + " master hub")
        && TestEnvironment::runIp ("link set " + link + " up") && configure (machine, address);
}
