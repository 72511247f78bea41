#include "ipc/Machine.h"

#include "ipc/ServerIPC.h"

Machine::~Machine()
{
    delete connection;
}

Machine::Machine (Machine const& other)
{
    copyDescriptionFrom (other);
}

Machine& Machine::operator= (Machine const& other)
{
    if (this != &other)
        copyDescriptionFrom (other);   // a record keeps its own connection

    return *this;
}

Machine::Machine (Machine&& other) noexcept
{
    copyDescriptionFrom (other);
    connection = std::exchange (other.connection, nullptr);
}

Machine& Machine::operator= (Machine&& other) noexcept
{
    if (this != &other)
    {
        copyDescriptionFrom (other);
        delete connection;
        connection = std::exchange (other.connection, nullptr);
    }

    return *this;
}

void Machine::copyDescriptionFrom (Machine const& other)
{
    IP = other.IP;
    port = other.port;
    OS = other.OS;
    displays = other.displays;
    totalArea = other.totalArea;
    isServer = other.isServer;
}

bool Machine::isAcceptableField (juce::String const& text)
{
    // Counts no further than the limit: a refused text may be megabytes long.
    auto p = text.getCharPointer();

    for (int i = 0; i < maxFieldLength; ++i, ++p)
        if (p.isEmpty())
            return true;

    return p.isEmpty();
}

int computeMachineID (juce::String const& ipAddress)
{
    juce::uint32 hash = 0;

    for (auto p = ipAddress.getCharPointer(); ! p.isEmpty();)
        hash = 31u * hash + (juce::uint32) p.getAndAdvance();

    // Absolute value in wrapping arithmetic: -2147483648 maps onto itself.
    auto magnitude = (hash & 0x80000000u) != 0 ? 0u - hash : hash;
    return (int) magnitude;
}
