// One simulated machine for tests of several machines (see NetLab): a cluster
// client with recording operations in a network namespace of its own, driven
// by commands on standard input, reporting on standard output. It runs until
// it is killed or its input ends.
//
//   test_machine HOME TMPDIR
//
//   net ADDR/PREFIX IF     give IF the address, bring it up, route through it: "ok net"
//   startup [CLUSTERID]    store the cluster ID, then do what the application's start-up
//                          does: discover, else become the server and join it:
//                          "startup <hosts server 0|1> <clientID> <clusterID>"
//   clipboard-files A|B    the files on the clipboard: "ok clipboard-files"
//   state                  "state <hosts server 0|1> <backup 0|1> <clientID>"
// Every call of an operation is reported as "call <name> <arguments>".

#include "core/SingletonApplicationProperties.h"
#include "support/RecordingClient.h"
#include "support/TestEnvironment.h"

#include <iostream>
#include <sched.h>

namespace
{
std::mutex outputLock;

void report (juce::String const& line)
{
    const std::lock_guard<std::mutex> sl (outputLock);
    std::cout << line.replaceCharacters ("\r\n", "  ") << std::endl;
}

// The application's start-up task.
void startUp (RecordingClient& client)
{
    auto* settings = SingletonApplicationProperties::get().getUserSettings();
    client.clusterID = settings->getIntValue ("clusterID", -1);

    if (! client.udpConnectToServer())
    {
        client.createOwnServer();
        client.tellMainComponentIAmServer();
        client.clusterID = settings->getIntValue ("clusterID", -1);

        if (! client.udpConnectToServer())
            report ("error Not connecting to myself as server!");
    }

    client.startingUp = false;
    report ("startup " + juce::String (client.hostsServer() ? 1 : 0) + " " + juce::String (client.clientID.load()) + " "
            + juce::String (client.clusterID.load()));
}

void handle (RecordingClient& client, juce::String const& line)
{
    auto command = line.upToFirstOccurrenceOf (" ", false, false);
    auto argument = line.fromFirstOccurrenceOf (" ", false, false);
    auto parts = juce::StringArray::fromTokens (argument, " ", {});

    if (command == "net" && parts.size() == 2 && TestEnvironment::runIp ("addr add " + parts[0] + " dev " + parts[1])
        && TestEnvironment::runIp ("link set " + parts[1] + " up") && TestEnvironment::runIp ("route add default dev " + parts[1]))
    {
        report ("ok net");
    }
    else if (command == "startup")
    {
        if (argument.isNotEmpty())
        {
            SingletonApplicationProperties::get().getUserSettings()->setValue ("clusterID", argument.getIntValue());
            SingletonApplicationProperties::get().getUserSettings()->save();
        }

        juce::Thread::launch ([&client] { startUp (client); });
    }
    else if (command == "clipboard-files")
    {
        juce::Array<juce::File> files;

        for (auto const& path : juce::StringArray::fromTokens (argument, "|", {}))
            files.add (juce::File (path));

        client.setClipboard ({}, files);
        report ("ok clipboard-files");
    }
    else if (command == "state")
    {
        report ("state " + juce::String (client.hostsServer() ? 1 : 0) + " " + juce::String (client.isBackupServer ? 1 : 0)
                + " " + juce::String (client.clientID.load()));
    }
    else
    {
        report ("error " + line);
    }
}
} // namespace

int main (int argc, char** argv)
{
    // A namespace of its own before any thread exists, so that every thread of
    // this machine lives in it.
    if (argc != 3 || unshare (CLONE_NEWNET) != 0 || ! TestEnvironment::runIp ("link set lo up"))
    {
        report ("error no network namespace");
        return 1;
    }

    setenv ("HOME", argv[1], 1);
    setenv ("TMPDIR", argv[2], 1);

    juce::ScopedJuceInitialiser_GUI juce;
    SingletonApplicationProperties::configure();
    RecordingClient client;
    client.onCall = [] (RecordingClient::Call const& call) { report ("call " + call.text); };

    // Each command line is handled on the message thread.
    juce::Thread::launch ([&client]
    {
        for (std::string line; std::getline (std::cin, line);)
            juce::MessageManager::callAsync ([&client, text = juce::String (line)] { handle (client, text); });

        std::_Exit (0);
    });

    report ("ready");
    juce::MessageManager::getInstance()->runDispatchLoop();
    return 0;
}
