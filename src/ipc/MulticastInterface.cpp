#include "ipc/MulticastInterface.h"

juce::IPAddress pickBestMulticastInterface()
{
    return pickBestMulticastInterface (juce::IPAddress::getAllAddresses (false));
}

juce::IPAddress pickBestMulticastInterface (juce::Array<juce::IPAddress> const& addresses)
{
    juce::IPAddress best;
    juce::Array<juce::IPAddress> seen;

    for (auto const& address : addresses)
    {
        if (address.isIPv6 || seen.contains (address))
            continue;

        seen.add (address);
        auto text = address.toString();

        if (text == "127.0.0.1")
            continue;

        if (! (text.startsWith ("192.168") || text.startsWith ("10.") || text.startsWith ("172.")))
            continue;

        if (best.isNull())
            best = address;

        if (text.startsWith ("192.168."))
            best = address;

        if (best.toString().startsWith ("172."))
            best = address;
    }

    return best;
}
