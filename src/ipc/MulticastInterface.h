#pragma once

#include <juce_core/juce_core.h>

/** The local IPv4 address that discovery binds to, or the null address
    (0.0.0.0, all local addresses) when none qualifies.

    Of the machine's IPv4 addresses, each once and in the order the system lists
    its interfaces, 127.0.0.1 and every address that starts with none of
    "192.168", "10." and "172." are skipped. Of the rest, the result is the last
    one in 192.168.x.x; when there is none, the first in 10.x.x.x; when there is
    none, the last in 172.x.x.x (any 172 address). */
juce::IPAddress pickBestMulticastInterface();

/** The same choice among the given addresses, in the given order. */
juce::IPAddress pickBestMulticastInterface (juce::Array<juce::IPAddress> const& addresses);
