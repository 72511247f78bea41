// One simulated machine for tests of several machines (see NetLab): a cluster
// client with recording operations in a network namespace of its own, driven
// by commands on standard input, reporting on standard output.
//
//   net ADDR/PREFIX IF      give IF the address, bring it up, route through it
//   discover                one discovery: "discovered <1|0> <clientID> <clusterID>"
//   startup                 what the application's start-up does: discover, else
//                           become the server and join it: "startup <hostsServer> <clientID>"
//   clipboard-files A|B     the files on the clipboard
//   cluster N               store N as the cluster ID in the settings
//   state                   "state <hosts server 0|1> <backup 0|1> <clientID>"
//   quit
// Every call of an operation is reported as "call <name> <arguments>".

#include "app/SingletonApplicationProperties.h"
#include "support/RecordingClient.h"
#include "support/TestEnvironment.h"

#include <juce_events/juce_events.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <sched.h>
#include <string>

namespace
{
std::mutex outputLock;

void report (juce::String const& line)
{
    const std::lock_guard<std::mutex> sl (outputLock);
    std::fputs ((line.replaceCharacters ("\r\n", "  ") + "\n").toRawUTF8(), stdout);
    std::fflush (stdout);
}

class Task : public juce::Thread
{
public:
    Task (std::function<void()> workToDo) : juce::Thread ("ThreadWithProgressWindow"), work (std::move (workToDo)) { startThread(); }
    ~Task() override { stopThread (-1); }
    void run() override { work(); }

private:
    std::function<void()> work;
};

class SimulatedMachine
{
public:
    SimulatedMachine()
    {
        client.onCall = [] (RecordingClient::Call const& call) { report ("call " + call.name + " " + call.arguments); };
    }

    ~SimulatedMachine()
    {
        tasks.clear();
        client.closeClient();
    }

    void handle (juce::String const& line)
    {
        auto command = line.upToFirstOccurrenceOf (" ", false, false);
        auto argument = line.fromFirstOccurrenceOf (" ", false, false);

        if (command == "discover")
        {
            tasks.push_back (std::make_unique<Task> ([this]
            {
                auto ok = client.udpConnectToServer();
                report ("discovered " + juce::String (ok ? 1 : 0) + " " + juce::String (client.clientID.load())
                        + " " + juce::String (client.clusterID.load()));
            }));
        }
        else if (command == "startup")
        {
            tasks.push_back (std::make_unique<Task> ([this]
            {
                auto readClusterID = [this]
                {
                    client.clusterID = SingletonApplicationProperties::get().getUserSettings()->getIntValue ("clusterID", -1);
                };

                readClusterID();

                if (! client.udpConnectToServer())
                {
                    client.createOwnServer();
                    client.tellMainComponentIAmServer();
                    readClusterID();

                    if (! client.udpConnectToServer())
                        report ("error Not connecting to myself as server!");
                }

                client.startingUp = false;
                report ("startup " + juce::String (client.hostsServer() ? 1 : 0) + " " + juce::String (client.clientID.load()));
            }));
        }
        else if (command == "clipboard-files")
        {
            juce::Array<juce::File> files;

            for (auto const& path : juce::StringArray::fromTokens (argument, "|", {}))
                files.add (juce::File (path));

            client.setClipboardFiles (files);
            report ("ok clipboard-files");
        }
        else if (command == "cluster")
        {
            auto* settings = SingletonApplicationProperties::get().getUserSettings();
            settings->setValue ("clusterID", argument.getIntValue());
            settings->save();
            report ("ok cluster");
        }
        else if (command == "state")
        {
            report ("state " + juce::String (client.hostsServer() ? 1 : 0) + " " + juce::String (client.isBackupServer ? 1 : 0)
                    + " " + juce::String (client.clientID.load()));
        }
        else if (command == "quit")
        {
            juce::MessageManager::getInstance()->stopDispatchLoop();
        }
        else
        {
            report ("error unknown command " + line);
        }
    }

    RecordingClient client;
    std::vector<std::unique_ptr<Task>> tasks;
};

class CommandReader : public juce::Thread
{
public:
    explicit CommandReader (SimulatedMachine& m) : juce::Thread ("CommandReader"), machine (m) {}

    void run() override
    {
        std::string line;

        while (! threadShouldExit() && std::getline (std::cin, line))
        {
            auto text = juce::String (line);
            juce::MessageManager::callAsync ([this, text] { machine.handle (text); });

            if (text == "quit")
                return;
        }

        juce::MessageManager::callAsync ([] { juce::MessageManager::getInstance()->stopDispatchLoop(); });
    }

private:
    SimulatedMachine& machine;
};
} // namespace

int main()
{
    // A namespace of its own before any thread exists, so that every thread of
    // this machine lives in it.
    if (unshare (CLONE_NEWNET) != 0 || ! TestEnvironment::runIp ("link set lo up"))
    {
        report ("error no network namespace");
        return 1;
    }

    report ("ready");

    std::string line;

    while (std::getline (std::cin, line))
    {
        auto text = juce::String (line);

        if (text == "quit")
            return 0;

        if (text.startsWith ("net "))
        {
            auto parts = juce::StringArray::fromTokens (text.substring (4), " ", {});

            if (parts.size() == 2
                && TestEnvironment::runIp ("addr add " + parts[0] + " dev " + parts[1])
                && TestEnvironment::runIp ("link set " + parts[1] + " up")
                && TestEnvironment::runIp ("route add default dev " + parts[1]))
            {
                report ("ok net");
                break;
            }

            report ("error net " + text);
        }
    }

    {
        juce::ScopedJuceInitialiser_GUI juce;
        SingletonApplicationProperties::configure();

        {
            SimulatedMachine machine;
            CommandReader reader (machine);
            reader.startThread();
            juce::MessageManager::getInstance()->runDispatchLoop();
            reader.signalThreadShouldExit();
            // stdin stays open until the lab closes it; the reader ends with it.
            reader.stopThread (100);
        }

        SingletonApplicationProperties::get().closeFiles();
    }

    return 0;
}
