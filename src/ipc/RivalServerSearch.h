#pragma once

#include <juce_core/juce_core.h>

#include <map>

/** A cluster server's look-out for another server of its own cluster.

    Machines that start at the same moment each find nobody and each become a
    server; several machines told "Backup server" each become one when their
    server goes. So a server looks for others now and then: every 1 to 3 s
    (at random) its discovery thread broadcasts the ordinary request of its
    cluster, "DISCOVERY_REQUEST CLUSTERID: n", from its own discovery socket,
    port 25476. A machine's discovery socket has a port of the system's
    choosing, so a request from port 25476 is another server's probe, and an
    answer arriving at port 25476 answers this server's probe.

    Of two servers of one cluster that meet, the one whose machine ID is the
    lower stays, and the other gives way: it ends, and its machines (its host
    among them) search again and join the one that stays. Both compare the
    same two numbers: each takes its own ID from the other's acceptance (the ID
    the other computed for the address the probe came from) and the other's ID
    from the address the acceptance came from.

    A server that stays on against another for longer than its patience (6 to
    10 s, at random) gives way too: the other is then a server that does not
    look for others (a peer on another system) or one that reckons the IDs
    otherwise (a host with several addresses may be seen at one address by one
    side and at another by the other). Of two servers that each wait for the
    other, the one whose patience ends first gives way, and the other then
    hears nothing more of it. Two that each give way at the same moment both
    search, find nobody and serve again, as at a start together, and meet again
    at random times.

    This class holds the timing and the decisions, and logs them; the discovery
    thread does the sending and reading. Not thread-safe: one thread uses it. */
class RivalServerSearch
{
public:
    struct Timing
    {
        int minIntervalMs = 1000;     // between two probes, drawn anew each time
        int maxIntervalMs = 3000;
        int minPatienceMs = 6000;     // from the first answer of a server that should give way
        int maxPatienceMs = 10000;
        int forgetAfterMs = 5000;     // a server unheard for so long has gone
    };

    /** The first probe is due one interval after 'now'. */
    RivalServerSearch (int clusterID, Timing timing, juce::int64 seed, juce::uint32 now);

    /** The rule: of two servers of one cluster, the one whose machine ID is the
        lower stays. */
    static bool stays (int ownID, int otherID) noexcept   { return ownID < otherID; }

    /** True when a probe is due at 'now' (juce::Time::getMillisecondCounter),
        and this server has not given way. */
    bool probeDue (juce::uint32 now) const noexcept;

    /** Notes that the probe went out at 'now' and returns its text. */
    juce::String probeSent (juce::uint32 now);

    enum class Outcome
    {
        ignored,    // not an acceptance of this cluster's probe, or from this very server
        stay,       // another server of the cluster, which should give way
        giveWay     // this server gives way (from now on, for good)
    };

    /** An acceptance that reached port 25476 from port 25476 of 'address'. */
    Outcome answered (juce::String const& address, juce::String const& text, juce::uint32 now);

    bool hasGivenWay() const noexcept   { return givenWay; }

    /** The source address of a broadcast sent from this machine now (the
        address the others see a probe come from), empty when there is no route. */
    static juce::String broadcastSource();

    /** At most this many other servers are kept in mind at once. */
    static constexpr size_t maxKnown = 16;

private:
    struct Other
    {
        juce::uint32 firstHeard = 0, lastHeard = 0;
        int patienceMs = 0;
    };

    int drawBetween (int low, int high);

    int const clusterID;
    Timing const timing;
    juce::Random random;
    juce::uint32 nextProbe;
    std::map<juce::String, Other> others;   // by address
    bool givenWay = false;
};
