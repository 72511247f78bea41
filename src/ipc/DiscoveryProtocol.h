#pragma once

#include <juce_core/juce_core.h>

/*  The discovery datagrams.

    Plain ASCII texts sent as their bytes, without terminator or length field.
    A reader takes at most maxDatagramSize bytes and reads the text up to the
    first zero byte, each byte one character. Numbers are written as
    juce::String (int) writes them and read with atoi semantics; fields are cut
    at the FIRST occurrence of their marker; every test is case-sensitive.

    This file is the one place where the datagram texts are spelled, for both
    directions.
*/
namespace DiscoveryProtocol
{
    /** The UDP port of the server's discovery socket. */
    inline constexpr int serverPort = 25476;

    /** The largest datagram a reader takes. */
    inline constexpr int maxDatagramSize = 256;

    /** Where a request is sent: the limited broadcast address. */
    inline constexpr const char* broadcastAddress = "255.255.255.255";

    /** A received datagram as text: at most maxDatagramSize bytes, up to the
        first zero byte, each byte one character (code points 0 to 255). */
    juce::String datagramText (void const* data, size_t size);

    //==============================================================================
    // Client to server

    /** "DISCOVERY_REQUEST", followed by " CLUSTERID: " and the cluster ID unless it is -1. */
    juce::String request (int clusterID);

    /** "CANCEL: " + the address the client chose (dotted text). */
    juce::String cancel (juce::String const& localAddress);

    enum class ToServer
    {
        none,       // anything else
        request,    // starts with "DISCOVERY_REQUEST"
        cancel      // starts with "CANCEL: "
    };

    ToServer classifyToServer (juce::String const& text);

    /** A request carries a cluster ID when it contains "CLUSTERID:" anywhere. */
    bool requestCarriesClusterID (juce::String const& text);

    /** The number after the first "CLUSTERID: " (with the blank); 0 when only
        the form without the blank is there. */
    int readRequestClusterID (juce::String const& text);

    /** The address after the first "CANCEL: ". */
    juce::String readCancelAddress (juce::String const& text);

    /** What a server of the given cluster does with a datagram. */
    enum class Answer
    {
        accept,         // a request of this cluster (or none, when the server has none)
        askUser,        // a request without cluster ID (or -1)
        reject,         // a request of another cluster
        cancel,         // the requester gave up: close its dialog
        undigested      // anything else
    };

    Answer answerFor (juce::String const& text, int serverClusterID);

    //==============================================================================
    // Server to client

    /** "ACCEPTED: " + machine ID + " UDPPORT: " + port + " CLUSTERID: " + cluster ID. */
    juce::String acceptance (int machineID, int port, int clusterID);

    /** "WAIT". */
    juce::String waitReply();

    /** "REJECTED". */
    juce::String rejection();

    enum class ToClient
    {
        none,           // everything else, "REJECTED" included: no answer
        acceptance,     // starts with "ACCEPTED: "
        wait            // equals "WAIT"
    };

    ToClient classifyToClient (juce::String const& text);

    struct Acceptance { int machineID = 0; int port = 0; int clusterID = 0; };

    /** Machine ID: the number after "ACCEPTED: " and before "UDPPORT:"; port:
        after "UDPPORT: " and before "CLUSTERID: "; cluster ID: after "CLUSTERID: ". */
    Acceptance readAcceptance (juce::String const& text);
}
