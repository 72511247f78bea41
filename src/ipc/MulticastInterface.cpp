#include "ipc/MulticastInterface.h"

const juce::String multicastGroup ("239.255.0.1");

juce::IPAddress pickBestMulticastInterface()
{
    juce::Array<juce::IPAddress> unique;

    for (auto const& address : juce::IPAddress::getAllAddresses (false))
        unique.addIfNotAlreadyThere (address);

    return pickBestMulticastInterface (unique);
}

juce::IPAddress pickBestMulticastInterface (juce::Array<juce::IPAddress> const& addresses)
{
    juce::IPAddress best;   // 0.0.0.0
    juce::IPAddress const none;

    for (auto const& address : addresses)
    {
        auto text = address.toString();

        if (text == "127.0.0.1")
            continue;

        if (! (text.startsWith ("192.168") || text.startsWith ("10.") || text.startsWith ("172.")))
            continue;

        if (best == none)
            best = address;

        if (text.startsWith ("192.168."))
            best = address;

        if (best.toString().startsWith ("172."))
            best = address;
    }

    return best;
}
