#include "support/TestEnvironment.h"

#include <juce_events/juce_events.h>

#include <cstdlib>
#include <fstream>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
juce::File processFolder;
ino_t startupNamespace = 0;

ino_t namespaceInode (const char* path)
{
    struct stat info {};
    return stat (path, &info) == 0 ? info.st_ino : 0;
}

juce::String findIp()
{
    for (auto* candidate : { "/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip" })
        if (access (candidate, X_OK) == 0)
            return candidate;

    return "ip";
}
} // namespace

namespace TestEnvironment
{
bool inPrivateNetworkNamespace()
{
    auto own = namespaceInode ("/proc/thread-self/ns/net");

    // PID 1's namespace is the machine's own; where it cannot be read (in a
    // container), the namespace this process started in stands in for it.
    auto machine = namespaceInode ("/proc/1/ns/net");

    if (machine == 0)
        machine = startupNamespace;

    return own != 0 && machine != 0 && own != machine;
}

bool runIp (juce::String const& arguments)
{
    auto command = findIp() + " " + arguments + " >/dev/null 2>&1";
    return std::system (command.toRawUTF8()) == 0;
}

bool enterLoopbackOnlyNamespace()
{
    if (unshare (CLONE_NEWNET) != 0)
        return false;

    return runIp ("link set lo up");
}

bool enterTestNamespace()
{
    return enterLoopbackOnlyNamespace()
        && runIp ("link add t0 type veth peer name t1")
        && runIp (juce::String ("addr add ") + testAddress + "/24 dev t0")
        && runIp ("link set t0 up")
        && runIp ("link set t1 up")
        && runIp ("route add default dev t0");
}

bool waitUntil (std::function<bool()> condition, int timeoutMs)
{
    auto const deadline = juce::Time::getMillisecondCounter() + (juce::uint32) timeoutMs;
    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    bool const onMessageThread = mm != nullptr && mm->isThisTheMessageThread();

    while (! condition())
    {
        if (juce::Time::getMillisecondCounter() > deadline)
            return condition();

        if (onMessageThread)
            mm->runDispatchLoopUntil (5);
        else
            juce::Thread::sleep (5);
    }

    return true;
}

void pump (int ms)
{
    if (juce::MessageManager::existsAndIsCurrentThread())
        juce::MessageManager::getInstance()->runDispatchLoopUntil (ms);
    else
        juce::Thread::sleep (ms);   // only the message thread may run its loop
}

juce::int64 peakAddressSpace()
{
    std::ifstream status ("/proc/self/status");

    for (std::string line; std::getline (status, line);)
        if (line.rfind ("VmPeak:", 0) == 0)
            return std::stoll (line.substr (7)) * 1024;

    return 0;
}

juce::File getHome() { return processFolder.getChildFile ("home"); }
juce::File getTemp() { return processFolder.getChildFile ("tmp"); }

void setUpProcess()
{
    startupNamespace = namespaceInode ("/proc/thread-self/ns/net");

    // Without TZ the C library reloads its time-zone state on every local-time
    // conversion, behind a lock ThreadSanitizer cannot see. The same zone,
    // named, is loaded once.
    setenv ("TZ", ":/etc/localtime", 0);

    if (! enterTestNamespace())
        std::fprintf (stderr, "note: no private network namespace (needs root); socket tests will fail\n");

    auto base = juce::File::getSpecialLocation (juce::File::tempDirectory);
    processFolder = base.getNonexistentChildFile ("corvelline-test-" + juce::String (getpid()) + "-", {}, false);
    getHome().createDirectory();
    getTemp().createDirectory();
    setenv ("HOME", getHome().getFullPathName().toRawUTF8(), 1);
    setenv ("TMPDIR", getTemp().getFullPathName().toRawUTF8(), 1);
    unsetenv ("XDG_CONFIG_HOME");
}

void tearDownProcess()
{
    if (processFolder != juce::File() && std::getenv ("CORVELLINE_KEEP_TEST_DIRS") == nullptr)
        processFolder.deleteRecursively();
}
} // namespace TestEnvironment
