// How long a "Current input ID: " claim from one connected machine takes to
// reach all the other N machines through the cluster server, next to the same
// fan-out done by a bare TCP relay written here (a thread per connection that
// writes each frame it reads to every connection under one lock), measured
// alternately in the same run, after a warm-up. Counters: server_us and
// relay_us (mean time per claim) and ratio (server / relay). A claim that does
// not reach everyone within 5 s is an error, not a time.
//
// The benchmark opens sockets on the server's fixed ports, so it moves itself
// into a network namespace of its own (with only loopback up) and refuses to
// run when it cannot. Run it inside scripts/sandbox.sh.

#include "core/SingletonApplicationProperties.h"
#include "ipc/IPCServer.h"

#include "BenchSupport.h"
#include "ServerBenchMain.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr int clusterID = 4711;
constexpr int relayPort = 26477;

using Clock = std::chrono::steady_clock;

using BenchSupport::loopback;

std::string frame (std::string const& payload)
{
    std::string bytes = { '\x2c', '\x9e', '\xb4', '\xf2' };

    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back ((char) ((payload.size() >> shift) & 0xff));

    return bytes + payload;
}

bool readExactly (int fd, void* data, size_t size)
{
    auto* p = static_cast<char*> (data);

    while (size > 0)
    {
        auto n = ::recv (fd, p, size, 0);

        if (n <= 0)
            return false;

        p += n;
        size -= (size_t) n;
    }

    return true;
}

/** One machine's end of its control connection, speaking raw frames. */
struct Peer
{
    int fd = -1;
    std::string buffer;

    bool connectTo (int lastByte, int port)
    {
        fd = ::socket (AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt (fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof (on));
        auto local = loopback (lastByte, 0);
        auto server = loopback (1, port);
        return ::bind (fd, (sockaddr*) &local, sizeof (local)) == 0
            && ::connect (fd, (sockaddr*) &server, sizeof (server)) == 0;
    }

    /** Reads what is there; true once a whole frame has arrived (and is dropped). */
    bool takeFrame()
    {
        char data[4096];
        auto n = ::recv (fd, data, sizeof (data), MSG_DONTWAIT);

        if (n > 0)
            buffer.append (data, (size_t) n);

        if (buffer.size() < 8)
            return false;

        juce::uint32 length = 0;
        std::memcpy (&length, buffer.data() + 4, 4);

        if (buffer.size() < 8 + length)
            return false;

        buffer.erase (0, 8 + length);
        return true;
    }

    ~Peer()
    {
        if (fd >= 0)
            ::close (fd);
    }
};

/** The claimer and the N machines that must hear of its claim. */
struct Cluster
{
    std::vector<std::unique_ptr<Peer>> peers;   // [0] claims

    /** Sends one claim; returns the time until every other machine has it, or
        nothing when one of them (the claimer included) misses it. */
    std::optional<double> claim (int id)
    {
        auto const bytes = frame ("Current input ID: " + std::to_string (id));
        std::vector<pollfd> waiting;

        for (size_t i = 1; i < peers.size(); ++i)
            waiting.push_back ({ peers[i]->fd, POLLIN, 0 });

        std::vector<bool> done (peers.size(), false);
        size_t remaining = peers.size() - 1;
        auto const start = Clock::now();
        ::send (peers[0]->fd, bytes.data(), bytes.size(), 0);

        while (remaining > 0)
        {
            if (::poll (waiting.data(), waiting.size(), 5000) <= 0)
                return std::nullopt;

            for (size_t i = 0; i < waiting.size(); ++i)
                if (! done[i + 1] && (waiting[i].revents & POLLIN) != 0 && peers[i + 1]->takeFrame())
                {
                    done[i + 1] = true;
                    waiting[i].events = 0;
                    --remaining;
                }
        }

        auto const elapsed = std::chrono::duration<double> (Clock::now() - start).count();

        // The claimer hears of its own claim too.
        pollfd own { peers[0]->fd, POLLIN, 0 };

        while (! peers[0]->takeFrame())
            if (::poll (&own, 1, 5000) <= 0)
                return std::nullopt;

        return elapsed;
    }
};

//==============================================================================
/** The baseline: read a frame, write it to every connection under one lock. */
struct BareRelay
{
    int listener = -1;
    std::mutex lock;
    std::vector<int> connections;
    std::vector<std::thread> threads;

    BareRelay()
    {
        listener = ::socket (AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt (listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof (on));
        auto address = loopback (1, relayPort);
        ::bind (listener, (sockaddr*) &address, sizeof (address));
        ::listen (listener, 64);
    }

    void acceptOne()
    {
        int fd = ::accept (listener, nullptr, nullptr);
        int on = 1;
        setsockopt (fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof (on));
        {
            std::lock_guard<std::mutex> sl (lock);
            connections.push_back (fd);
        }

        threads.emplace_back ([this, fd]
        {
            for (;;)
            {
                char header[8];
                juce::uint32 length = 0;

                if (! readExactly (fd, header, 8))
                    return;

                std::memcpy (&length, header + 4, 4);
                std::string message (header, 8);
                message.resize (8 + length);

                if (length > 0 && ! readExactly (fd, message.data() + 8, length))
                    return;

                std::lock_guard<std::mutex> sl (lock);

                for (auto other : connections)
                    ::send (other, message.data(), message.size(), MSG_NOSIGNAL);
            }
        });
    }

    ~BareRelay()
    {
        {
            std::lock_guard<std::mutex> sl (lock);
            for (auto fd : connections)
                ::shutdown (fd, SHUT_RDWR);
        }

        for (auto& t : threads)
            t.join();

        for (auto fd : connections)
            ::close (fd);

        ::close (listener);
    }
};

/** Machines 127.0.0.10 and up, accepted by the server through discovery, then connected. */
bool joinServer (Cluster& cluster, int count)
{
    for (int i = 0; i < count; ++i)
    {
        int const lastByte = 10 + i;
        int udp = ::socket (AF_INET, SOCK_DGRAM, 0);
        auto local = loopback (lastByte, 0);
        auto discovery = loopback (1, 25476);
        ::bind (udp, (sockaddr*) &local, sizeof (local));
        auto request = "DISCOVERY_REQUEST CLUSTERID: " + std::to_string (clusterID);
        ::sendto (udp, request.data(), request.size(), 0, (sockaddr*) &discovery, sizeof (discovery));
        pollfd reply { udp, POLLIN, 0 };
        char text[256] = {};
        bool accepted = ::poll (&reply, 1, 2000) > 0 && ::recv (udp, text, sizeof (text) - 1, 0) > 0
                          && std::strncmp (text, "ACCEPTED: ", 10) == 0;
        ::close (udp);

        cluster.peers.push_back (std::make_unique<Peer>());

        if (! accepted || ! cluster.peers.back()->connectTo (lastByte, 25477))
            return false;
    }

    std::this_thread::sleep_for (std::chrono::milliseconds (100));   // all paired
    return true;
}

void fanOut (benchmark::State& state)
{
    auto const others = (int) state.range (0);

    auto server = std::make_unique<IPCServer>();
    Cluster throughServer;

    BareRelay relay;
    Cluster throughRelay;

    if (! joinServer (throughServer, others + 1))
    {
        state.SkipWithError ("machines could not join the server");
        return;
    }

    for (int i = 0; i <= others; ++i)
    {
        throughRelay.peers.push_back (std::make_unique<Peer>());
        throughRelay.peers.back()->connectTo (10 + i, relayPort);
        relay.acceptOne();
    }

    double serverTotal = 0, relayTotal = 0;
    int id = 0;

    for (auto _ : state)
    {
        ++id;   // every claim is a change, so the server announces each
        auto const viaServer = throughServer.claim (id);
        auto const viaRelay = throughRelay.claim (id);

        if (! viaServer || ! viaRelay)
        {
            state.SkipWithError (viaServer ? "a claim did not go round the bare relay" : "a claim did not go round the server");
            break;
        }

        relayTotal += *viaRelay;
        serverTotal += *viaServer;
        state.SetIterationTime (*viaServer);
    }

    auto const claims = (double) std::max<int> (id, 1);
    state.counters["server_us"] = serverTotal / claims * 1e6;
    state.counters["relay_us"] = relayTotal / claims * 1e6;
    state.counters["ratio"] = relayTotal > 0 ? serverTotal / relayTotal : 0.0;

    throughServer.peers.clear();
    server.reset();
}

BENCHMARK (fanOut)->Arg (2)->Arg (8)->Arg (32)->UseManualTime()->Unit (benchmark::kMicrosecond)->MinWarmUpTime (0.5)->MinTime (2.0);

} // namespace

int main (int argc, char** argv)
{
    return runServerBenchmarks (argc, argv, clusterID);
}
