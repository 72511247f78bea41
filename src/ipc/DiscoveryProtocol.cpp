#include "ipc/DiscoveryProtocol.h"

#include "ipc/ControlProtocol.h"

#include <algorithm>

namespace DiscoveryProtocol
{
namespace
{
const juce::String kRequest = "DISCOVERY_REQUEST";
const juce::String kClusterIDMark = "CLUSTERID:";
const juce::String kClusterID = "CLUSTERID: ";
const juce::String kCancel = "CANCEL: ";
const juce::String kAccepted = "ACCEPTED: ";
const juce::String kUDPPortMark = "UDPPORT:";
const juce::String kUDPPort = "UDPPORT: ";
const juce::String kWait = "WAIT";
const juce::String kRejected = "REJECTED";
} // namespace

juce::String datagramText (void const* data, size_t size)
{
    if (data == nullptr)
        return {};

    auto const* bytes = static_cast<juce::uint8 const*> (data);
    auto length = std::min (size, (size_t) maxDatagramSize);
    length = (size_t) (std::find (bytes, bytes + length, (juce::uint8) 0) - bytes);

    juce::juce_wchar chars[maxDatagramSize + 1] = {};

    for (size_t i = 0; i < length; ++i)
        chars[i] = (juce::juce_wchar) bytes[i];

    return juce::String (juce::CharPointer_UTF32 (chars));
}

juce::String request (int clusterID)
{
    return clusterID == -1 ? kRequest : kRequest + " " + kClusterID + juce::String (clusterID);
}

juce::String cancel (juce::String const& localAddress)
{
    return kCancel + localAddress;
}

ToServer classifyToServer (juce::String const& text)
{
    if (text.startsWith (kRequest))  return ToServer::request;
    if (text.startsWith (kCancel))   return ToServer::cancel;
    return ToServer::none;
}

bool requestCarriesClusterID (juce::String const& text)
{
    return text.contains (kClusterIDMark);
}

int readRequestClusterID (juce::String const& text)
{
    return ControlProtocol::numberAfter (text, kClusterID);
}

juce::String readCancelAddress (juce::String const& text)
{
    return ControlProtocol::textAfter (text, kCancel);
}

Answer answerFor (juce::String const& text, int serverClusterID)
{
    switch (classifyToServer (text))
    {
        case ToServer::request:
            if (! requestCarriesClusterID (text))
                return serverClusterID == -1 ? Answer::accept : Answer::askUser;

            if (auto const requested = readRequestClusterID (text); requested == serverClusterID)
                return Answer::accept;
            else if (requested == -1)
                return Answer::askUser;

            return Answer::reject;

        case ToServer::cancel:
            return Answer::cancel;

        case ToServer::none:
            break;
    }

    return Answer::undigested;
}

juce::String acceptance (int machineID, int port, int clusterID)
{
    return kAccepted + juce::String (machineID) + " " + kUDPPort + juce::String (port)
             + " " + kClusterID + juce::String (clusterID);
}

juce::String waitReply()  { return kWait; }
juce::String rejection()  { return kRejected; }

ToClient classifyToClient (juce::String const& text)
{
    if (text.startsWith (kAccepted))  return ToClient::acceptance;
    if (text == kWait)                return ToClient::wait;
    return ToClient::none;
}

Acceptance readAcceptance (juce::String const& text)
{
    return { ControlProtocol::numberBetween (text, kAccepted, kUDPPortMark),
             ControlProtocol::numberBetween (text, kUDPPort, kClusterID),
             ControlProtocol::numberAfter (text, kClusterID) };
}
} // namespace DiscoveryProtocol
