#include "ListenerRig.h"

#include "input/EventDatagram.h"

#include <gtest/gtest.h>

ListenerRig::ListenerRig (std::shared_ptr<const KeyboardLayout> layout)
    : keys (std::move (layout))
{
    host.setOwnID (1);
    host.setActiveMonitorID (1);
    host.setCurrentInputID (1);
    host.onPrepareLocalAndRemote ([this] (int id)
    {
        auto& [socket, os] = sinks.at (id);
        socketThread.setSending ("127.0.0.1", socket->getBoundPort(), os, 0);
    });
    host.onTakeBackControl ([this] { socketThread.setIdle(); });
}

ListenerRig::~ListenerRig()
{
    listener.stopListening (-1);
    socketThread.setIdle();
}

void ListenerRig::addMachine (int id, juce::Rectangle<int> tile, juce::String const& os)
{
    auto socket = std::make_unique<juce::DatagramSocket> (false);
    EXPECT_TRUE (socket->bindToPort (0, "127.0.0.1"));
    sinks[id] = { std::move (socket), os };
    host.addTile (id, tile);
    host.setNumMachines ((int) sinks.size() + 1);
}

std::vector<juce::String> ListenerRig::takeSent (int id)
{
    EXPECT_TRUE (socketThread.queueEvent ([] (SocketThread::EventPlusData& e) { e.type = 6; }));   // no producer makes 6
    const EventDatagram datagram ("DriftLanternK7q");
    auto& socket = *sinks.at (id).first;
    std::vector<juce::String> texts;

    while (socket.waitUntilReady (true, 5000) == 1)
    {
        char buffer[512];
        const int size = socket.read (buffer, (int) sizeof (buffer), false);
        const auto text = datagram.decode (buffer, (size_t) juce::jmax (0, size));

        if (text.startsWith ("Left double click"))
            return texts;

        // A position sent again once the pointer rested is no event of its own.
        if (! texts.empty() && text == texts.back() && (text.startsWith ("Move mouse to: ") || text.startsWith ("Drag mouse to: ")))
            continue;

        texts.push_back (text);
    }

    ADD_FAILURE() << "no marker from machine " << id;
    return texts;
}
