#pragma once

#include <juce_core/juce_core.h>

/*  The discovery datagrams, in both directions.

    A machine looking for its cluster's server broadcasts a request to UDP port
    discoveryPort; the server answers the request's source address and port with
    an acceptance, "WAIT" or "REJECTED", and a machine that gives up waiting
    for approval sends a cancel to the server. Every datagram is plain ASCII
    without terminator or length; a reader takes at most maxDatagramSize bytes,
    up to the first zero byte, each byte one character. Numbers are written as
    juce::String (int) writes them and read with atoi semantics; fields are cut
    at the first occurrence of their marker, case-sensitively.

    This file is the one place where these texts are spelled.
*/
namespace DiscoveryProtocol
{
    /** The server's discovery port. */
    inline constexpr int discoveryPort = 25476;

    /** Where requests go: the limited broadcast address. */
    inline constexpr const char* broadcastAddress = "255.255.255.255";

    /** The most a reader takes of one datagram. */
    inline constexpr int maxDatagramSize = 256;

    /** "DISCOVERY_REQUEST", plus " CLUSTERID: " and the cluster ID unless it is -1. */
    juce::String request (int clusterID);

    /** "ACCEPTED: " + machine ID + " UDPPORT: " + port + " CLUSTERID: " + cluster ID. */
    juce::String acceptance (int machineID, int machinePort, int clusterID);

    /** "WAIT" and "REJECTED". */
    juce::String wait();
    juce::String rejected();

    /** "CANCEL: " + the address the client chose (dotted text). */
    juce::String cancel (juce::String const& localAddress);

    /** The text of a datagram: the bytes up to the first zero byte (at most
        maxDatagramSize of them), each byte taken as one character 0 to 255. */
    juce::String readDatagram (void const* data, int size);

    //==============================================================================
    // The client's reading of a reply.

    /** Starts with "ACCEPTED: ". */
    bool isAcceptance (juce::String const& text);

    /** Equals "WAIT". Every other text that is no acceptance counts as no answer. */
    bool isWait (juce::String const& text);

    struct Acceptance
    {
        int machineID = 0;     // the number after "ACCEPTED: " and before "UDPPORT:"
        int machinePort = 0;   // the number after "UDPPORT: " and before "CLUSTERID: "
        int clusterID = 0;     // the number after "CLUSTERID: "
    };

    /** Reads the three numbers; a missing one reads as 0. Safe on any text. */
    Acceptance readAcceptance (juce::String const& text);

    //==============================================================================
    // The server's reading of a request or cancel.

    /** Starts with "DISCOVERY_REQUEST". */
    bool isRequest (juce::String const& text);

    /** The request carries a cluster ID: it contains "CLUSTERID:" anywhere. */
    bool requestHasClusterID (juce::String const& text);

    /** The number after the first "CLUSTERID: " (0 when only "CLUSTERID:" is there). */
    int readRequestClusterID (juce::String const& text);

    /** Starts with "CANCEL: ". */
    bool isCancel (juce::String const& text);

    /** The address after the first "CANCEL: ". */
    juce::String readCancelAddress (juce::String const& text);
}
