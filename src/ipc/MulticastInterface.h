#pragma once

#include <juce_core/juce_core.h>

/** The multicast group the discovery sockets leave when they close. Discovery
    neither sends to it nor joins it. */
extern const juce::String multicastGroup;

/** The local IPv4 address that discovery binds to: the last qualifying address
    in 192.168.x.x; when there is none, the first in 10.x.x.x; when there is none,
    the last in 172.x.x.x; otherwise the null address 0.0.0.0. 127.0.0.1 and
    addresses in no private range never qualify. */
juce::IPAddress pickBestMulticastInterface();

/** The same choice among the given addresses, in the order given. */
juce::IPAddress pickBestMulticastInterface (juce::Array<juce::IPAddress> const& addresses);
