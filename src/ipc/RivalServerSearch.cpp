#include "ipc/RivalServerSearch.h"

#include "core/Logging.h"
#include "ipc/DiscoveryProtocol.h"
#include "ipc/Machine.h"

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// True once 'now' has reached 'time': the millisecond counter wraps after 49 days.
bool reached (juce::uint32 now, juce::uint32 time) noexcept
{
    return (juce::int32) (now - time) >= 0;
}
} // namespace

RivalServerSearch::RivalServerSearch (int clusterIDToUse, Timing timingToUse, juce::int64 seed, juce::uint32 now)
    : clusterID (clusterIDToUse), timing (timingToUse), random (seed)
{
    nextProbe = now + (juce::uint32) drawBetween (timing.minIntervalMs, timing.maxIntervalMs);
}

int RivalServerSearch::drawBetween (int low, int high)
{
    return high > low ? low + random.nextInt (high - low + 1) : low;
}

bool RivalServerSearch::probeDue (juce::uint32 now) const noexcept
{
    return ! givenWay && reached (now, nextProbe);
}

juce::String RivalServerSearch::probeSent (juce::uint32 now)
{
    nextProbe = now + (juce::uint32) drawBetween (timing.minIntervalMs, timing.maxIntervalMs);
    return DiscoveryProtocol::request (clusterID);
}

RivalServerSearch::Outcome RivalServerSearch::answered (juce::String const& address, juce::String const& text, juce::uint32 now)
{
    if (givenWay || DiscoveryProtocol::classifyToClient (text) != DiscoveryProtocol::ToClient::acceptance)
        return Outcome::ignored;

    // The acceptance names the address this server's probe came from, as the
    // other server saw it.
    auto const acceptance = DiscoveryProtocol::readAcceptance (text);
    auto const ownID = acceptance.machineID;
    auto const otherID = computeMachineID (address);

    if (acceptance.clusterID != clusterID || acceptance.port != DiscoveryProtocol::serverPort
         || ownID < 1 || otherID < 1 || ownID == otherID)
        return Outcome::ignored;

    // Servers unheard for a while have gone, or given way.
    for (auto it = others.begin(); it != others.end();)
        it = reached (now, it->second.lastHeard + (juce::uint32) timing.forgetAfterMs) ? others.erase (it) : std::next (it);

    auto found = others.find (address);

    if (found == others.end())
    {
        if (others.size() >= maxKnown)
            others.erase (std::max_element (others.begin(), others.end(), [now] (auto const& a, auto const& b)
                                            { return now - a.second.lastHeard < now - b.second.lastHeard; }));

        Other other;
        other.firstHeard = now;
        other.patienceMs = drawBetween (timing.minPatienceMs, timing.maxPatienceMs);
        found = others.emplace (address, other).first;

        DBGOrLog ("Server: another server of cluster " + juce::String (clusterID) + " answers at " + address
                  + ", machine ID " + juce::String (otherID) + " (this one: " + juce::String (ownID) + ")");
    }

    auto& other = found->second;
    other.lastHeard = now;

    if (! stays (ownID, otherID))
    {
        DBGOrLog ("Server: giving way to the server at " + address + ", whose machine ID is the lower");
    }
    else if (reached (now, other.firstHeard + (juce::uint32) other.patienceMs))
    {
        DBGOrLog ("Server: giving way to the server at " + address + ", which has not given way to this one in "
                  + juce::String (other.patienceMs) + " ms");
    }
    else
    {
        return Outcome::stay;
    }

    givenWay = true;
    return Outcome::giveWay;
}

juce::String RivalServerSearch::broadcastSource()
{
    int const handle = ::socket (AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);

    if (handle < 0)
        return {};

    // Connecting a datagram socket sends nothing: it only picks the route.
    int const on = 1;
    setsockopt (handle, SOL_SOCKET, SO_BROADCAST, &on, sizeof (on));

    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons ((uint16_t) DiscoveryProtocol::serverPort);
    to.sin_addr.s_addr = htonl (INADDR_BROADCAST);

    sockaddr_in from {};
    socklen_t length = sizeof (from);
    char text[INET_ADDRSTRLEN] = {};
    juce::String source;

    if (::connect (handle, reinterpret_cast<sockaddr const*> (&to), sizeof (to)) == 0
         && ::getsockname (handle, reinterpret_cast<sockaddr*> (&from), &length) == 0
         && inet_ntop (AF_INET, &from.sin_addr, text, sizeof (text)) != nullptr)
        source = text;

    ::close (handle);
    return source;
}
