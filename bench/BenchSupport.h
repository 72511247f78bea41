#pragma once

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

/** What several benchmarks need of their surroundings. */
namespace BenchSupport
{
    /** Moves the process into a network namespace of its own with loopback
        up, so that a benchmark may bind the system's fixed ports and send
        nothing beyond this machine. False when that is not allowed (not root). */
    inline bool enterOwnNetworkNamespace()
    {
        if (::unshare (CLONE_NEWNET) != 0)
            return false;

        int fd = ::socket (AF_INET, SOCK_DGRAM, 0);
        ifreq request {};
        std::strncpy (request.ifr_name, "lo", IFNAMSIZ - 1);
        bool up = ::ioctl (fd, SIOCGIFFLAGS, &request) == 0;
        request.ifr_flags |= IFF_UP;
        up = up && ::ioctl (fd, SIOCSIFFLAGS, &request) == 0;
        ::close (fd);
        return up;
    }

    /** The address 127.0.0.<lastByte>, port 'port'. */
    inline sockaddr_in loopback (int lastByte, int port)
    {
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons ((uint16_t) port);
        a.sin_addr.s_addr = htonl ((127u << 24) | (uint32_t) lastByte);
        return a;
    }

    /** Runs the benchmarks the command line picks; 1 for arguments it does
        not know. */
    inline int runSpecifiedBenchmarks (int& argc, char** argv)
    {
        benchmark::Initialize (&argc, argv);
        auto const unknown = benchmark::ReportUnrecognizedArguments (argc, argv);

        if (! unknown)
            benchmark::RunSpecifiedBenchmarks();

        benchmark::Shutdown();
        return unknown ? 1 : 0;
    }

    /** True when there is an X display; otherwise the round is an error. */
    inline bool haveDisplay (benchmark::State& state)
    {
        if (std::getenv ("DISPLAY") != nullptr)
            return true;

        state.SkipWithError ("no DISPLAY: run under scripts/sandbox.sh");
        return false;
    }
}
