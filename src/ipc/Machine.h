#pragma once

#include "ipc/IPCServer.h"

#include <juce_graphics/juce_graphics.h>

/** One computer of the cluster.

    The server keeps one record per accepted machine, which owns the machine's
    control connection; the application keeps copies, which never carry a
    connection: copying a record leaves the copy's connection null. */
struct Machine
{
    juce::String IP;                              // dotted IPv4 text, as the server saw it
    int port = 0;                                 // UDP port for input events; port + 1 is the file-transfer port
    juce::String OS;                              // "MAC" or "WIN", empty until announced
    juce::RectangleList<int> displays;            // monitors in the machine's own desktop coordinates
    juce::Rectangle<int> totalArea;               // place on the virtual desktop, size of the machine's desktop
    IPCServer::ServerIPC* connection = nullptr;   // owned; deleted with the record
    bool isServer = false;                        // hosts the cluster server

    /** The longest IP or OS text a record takes from a peer: real ones have
        a few characters. */
    static constexpr int maxFieldLength = 64;

    /** True when a received IP or OS text is short enough to be kept. */
    static bool isAcceptableField (juce::String const& text);

    Machine() = default;
    ~Machine();

    Machine (Machine const& other);
    Machine& operator= (Machine const& other);
    Machine (Machine&& other) noexcept;
    Machine& operator= (Machine&& other) noexcept;

private:
    void copyDescriptionFrom (Machine const& other);
};

/** The machine ID of an address: the absolute value of the 32-bit hash of the
    address text (hash = 31 * hash + code point, wrapping), taken with wrapping,
    so a hash of -2147483648 stays negative. -1 stands for no machine. */
int computeMachineID (juce::String const& ipAddress);
