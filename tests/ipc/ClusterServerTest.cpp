// The client against the real cluster server, across network namespaces:
// joining over a veth pair, and fail-over to the backup with three machines
// on a bridge.

#include "ipc/Machine.h"
#include "app/SingletonApplicationProperties.h"
#include "support/NetLab.h"
#include "support/TestEnvironment.h"
#include "ClientHarness.h"

#include <gmock/gmock.h>

namespace
{
juce::String idOf (juce::String const& ip) { return juce::String (computeMachineID (ip)); }

bool setCluster (NetLab::Machine& machine, int clusterID)
{
    return machine.send ("cluster " + juce::String (clusterID)) && machine.waitForLine ("ok cluster").has_value();
}
} // namespace

TEST (ClusterServer, AMachineJoinsTheRealServerAcrossAVethPair)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    SingletonApplicationProperties::get().getUserSettings()->setValue ("clusterID", 4711);

    NetLab lab;
    auto* machine = lab.startMachine ("joiner");
    ASSERT_NE (machine, nullptr);
    ASSERT_TRUE (lab.linkToTest (*machine, "10.77.0.2", "10.77.0.1"));
    ASSERT_TRUE (setCluster (*machine, 4711));

    RecordingClient host;   // holds the server, without joining it
    host.createOwnServer();
    ASSERT_TRUE (host.hostsServer());
    machine->send ("startup");

    std::optional<juce::String> started;
    ASSERT_TRUE (RecordingClient::waitUntil ([&] { started = machine->waitForLine ("startup", 20); return started.has_value(); }, 30000));
    EXPECT_EQ (*started, "startup 0 " + idOf ("10.77.0.2"));

    // The server answers "Send monitors" with the machine's own record, at its real address.
    EXPECT_TRUE (RecordingClient::waitUntil ([&] { return machine->waitForLine ("call addMachine 10.77.0.2 ", 20).has_value(); }, 15000));
}

TEST (ClusterServer, TheBackupTakesOverAndEveryoneRejoinsIt)
{
    REQUIRE_PRIVATE_NETWORK();
    NetLab lab;
    auto* a = lab.startMachine ("a");
    auto* b = lab.startMachine ("b");
    auto* c = lab.startMachine ("c");
    ASSERT_TRUE (a != nullptr && b != nullptr && c != nullptr);
    ASSERT_TRUE (lab.linkToHub (*a, "192.168.60.2"));
    ASSERT_TRUE (lab.linkToHub (*b, "192.168.60.3"));
    ASSERT_TRUE (lab.linkToHub (*c, "192.168.60.4"));

    for (auto* m : { a, b, c })
        ASSERT_TRUE (setCluster (*m, 777));

    // a finds no server and becomes it; b joins second and is named backup; c joins.
    a->send ("startup");
    auto aStarted = a->waitForLine ("startup", 30000);
    ASSERT_TRUE (aStarted.has_value());
    EXPECT_EQ (*aStarted, "startup 1 " + idOf ("192.168.60.2"));

    b->send ("startup");
    auto bStarted = b->waitForLine ("startup", 30000);
    ASSERT_TRUE (bStarted.has_value());
    EXPECT_EQ (*bStarted, "startup 0 " + idOf ("192.168.60.3"));

    c->send ("startup");
    ASSERT_TRUE (c->waitForLine ("startup 0", 30000).has_value());

    for (auto* m : { a, b, c })
        for (auto ip : { "192.168.60.2", "192.168.60.3", "192.168.60.4" })
            ASSERT_TRUE (m->waitForLine ("call addMachine " + juce::String (ip) + " ", 15000).has_value()) << m->name << " " << ip;

    b->send ("state");
    EXPECT_EQ (b->waitForLine ("state"), juce::String ("state 0 1 " + idOf ("192.168.60.3")));

    // The server's machine goes away at once.
    b->forgetLines();
    c->forgetLines();
    a->kill();

    // b creates its server before it searches, and joins it; c finds it.
    ASSERT_TRUE (b->waitForLine ("call clearMachines", 20000).has_value());
    ASSERT_TRUE (c->waitForLine ("call clearMachines", 20000).has_value());
    EXPECT_TRUE (b->waitForLine ("call tellMainComponentIAmServer", 1000).has_value());
    EXPECT_FALSE (c->waitForLine ("call tellMainComponentIAmServer", 10).has_value());

    for (auto* m : { b, c })
        for (auto ip : { "192.168.60.3", "192.168.60.4" })
            EXPECT_TRUE (m->waitForLine ("call addMachine " + juce::String (ip) + " ", 30000).has_value()) << m->name << " " << ip;

    // b hosts the cluster now (whom its server names backup depends on who joins first).
    b->send ("state");
    auto state = b->waitForLine ("state");
    ASSERT_TRUE (state.has_value());
    EXPECT_TRUE (state->startsWith ("state 1 ")) << *state;

    for (auto* m : { b, c })
        EXPECT_FALSE (m->waitForLine ("call addMachine 192.168.60.2 ", 10).has_value()) << m->name;
}

TEST (ClusterServer, AHostOfTheServerSaysSoWhenJoining)
{
    REQUIRE_PRIVATE_NETWORK();
    SingletonApplicationProperties::configure();
    RecordingClient client;
    client.createOwnServer();
    ASSERT_TRUE (client.hostsServer());

    WirePeer::Listener raw (40477);
    ASSERT_TRUE (client.connectToSocket (TestEnvironment::testAddress, 40477, 1000));
    auto stream = raw.accept();
    ASSERT_NE (stream, nullptr);
    readFramePumping (*stream);
    readFramePumping (*stream);
    EXPECT_EQ (readTextFramePumping (*stream), "Is server: TRUE");
}
