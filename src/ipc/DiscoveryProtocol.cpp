#include "ipc/DiscoveryProtocol.h"

#include "ipc/ControlProtocol.h"

#include <algorithm>

namespace DiscoveryProtocol
{
namespace
{
const juce::String kRequest = "DISCOVERY_REQUEST";
const juce::String kRequestClusterID = " CLUSTERID: ";
const juce::String kAccepted = "ACCEPTED: ";
const juce::String kUdpPort = "UDPPORT: ";
const juce::String kUdpPortMarker = "UDPPORT:";
const juce::String kClusterID = "CLUSTERID: ";
const juce::String kClusterIDMarker = "CLUSTERID:";
const juce::String kWait = "WAIT";
const juce::String kRejected = "REJECTED";
const juce::String kCancel = "CANCEL: ";
} // namespace

juce::String request (int clusterID)
{
    if (clusterID == -1)
        return kRequest;

    return kRequest + kRequestClusterID + juce::String (clusterID);
}

juce::String acceptance (int machineID, int machinePort, int clusterID)
{
    return kAccepted + juce::String (machineID) + " " + kUdpPort + juce::String (machinePort)
         + " " + kClusterID + juce::String (clusterID);
}

juce::String wait()     { return kWait; }
juce::String rejected() { return kRejected; }

juce::String cancel (juce::String const& localAddress)
{
    return kCancel + localAddress;
}

juce::String readDatagram (void const* data, int size)
{
    if (data == nullptr || size <= 0)
        return {};

    auto const* bytes = static_cast<unsigned char const*> (data);
    auto length = std::min (size, maxDatagramSize);
    auto end = std::find (bytes, bytes + length, (unsigned char) 0);

    juce::String text;
    text.preallocateBytes ((size_t) (end - bytes) * 2 + 1);

    for (auto const* b = bytes; b != end; ++b)
        text += (juce::juce_wchar) *b;

    return text;
}

bool isAcceptance (juce::String const& text) { return text.startsWith (kAccepted); }
bool isWait (juce::String const& text)       { return text == kWait; }

Acceptance readAcceptance (juce::String const& text)
{
    using namespace ControlProtocol;
    return { numberBetween (text, kAccepted, kUdpPortMarker),
             numberBetween (text, kUdpPort, kClusterID),
             numberAfter (text, kClusterID) };
}

bool isRequest (juce::String const& text)             { return text.startsWith (kRequest); }
bool requestHasClusterID (juce::String const& text)   { return text.contains (kClusterIDMarker); }
int readRequestClusterID (juce::String const& text)   { return ControlProtocol::numberAfter (text, kClusterID); }
bool isCancel (juce::String const& text)              { return text.startsWith (kCancel); }
juce::String readCancelAddress (juce::String const& text) { return ControlProtocol::textAfter (text, kCancel); }
} // namespace DiscoveryProtocol
