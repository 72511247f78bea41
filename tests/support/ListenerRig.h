#pragma once

#include "FakeInputHost.h"
#include "input/KeyboardAndMouseListenerThread.h"
#include "platform/memory/MemoryInputPlatform.h"
#include "platform/memory/MemoryKeyboardLayout.h"

#include <map>

/** The event-tap thread (this machine is ID 1) on the in-memory platform with
    the application faked, and a real SocketThread sending to one UDP socket of
    the test per machine. prepareLocalAndRemote and takeBackControl switch the
    SocketThread as the application does. Opens sockets. */
struct ListenerRig
{
    explicit ListenerRig (std::shared_ptr<const KeyboardLayout> layout = std::make_shared<MemoryKeyboardLayout>());
    ~ListenerRig();

    void addMachine (int id, juce::Rectangle<int> tile, juce::String const& os = "MAC");

    /** Input goes to machine id. */
    void sendTo (int id)   { host.prepareLocalAndRemote (id, false); host.clearCalls(); }

    EventTap::Verdict handle (InputEvent const& event)   { return listener.myCGEventCallback (event); }

    /** The texts machine id was sent since the last call, read up to a marker
        queued now (the SocketThread must be sending to id). */
    std::vector<juce::String> takeSent (int id);

    FakeInputHost host;
    MemoryInputPlatform platform;
    MacKeyCodeWizard keys;
    SocketThread socketThread { host, platform };
    KeyboardAndMouseListenerThread listener { host, platform, socketThread, keys };
    std::map<int, std::pair<std::unique_ptr<juce::DatagramSocket>, juce::String>> sinks;   // socket, OS
};
