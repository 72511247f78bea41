// The memory the cluster server needs to relay one large clipboard text: a
// machine sends "Route clipboard to ID: <id> content: " + N MB of text, and
// the server hands "Copy to clipboard: " + that text to the other machine.
// Both machines are raw peers of this process that stream the bytes through
// small buffers of their own, so the process's peak resident memory during a
// relay, above what it held before, is the server's cost. After one relay of
// warm-up, each round is one relay.
//
// A second benchmark routes several clipboards back to back to a machine that
// reads slowly (slowReaderRelays, below).
//
// Counters: peak_multiple (the largest rise of the peak resident memory in a
// round, as a multiple of the text's size) and relay_ms (the mean time from
// the first byte sent to the last byte received). A relay that does not
// arrive whole within a minute is an error.
//
// It opens sockets on the server's fixed ports, so it enters a network
// namespace of its own (only the loopback) and refuses to run where it
// cannot. Run it inside scripts/sandbox.sh.

#include "core/SingletonApplicationProperties.h"
#include "ipc/IPCServer.h"

#include "BenchSupport.h"
#include "ServerBenchMain.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr int clusterID = 4711;
constexpr int giveUpMs = 60000;

using BenchSupport::loopback;

std::string header (size_t payloadSize)
{
    std::string bytes = { '\x2c', '\x9e', '\xb4', '\xf2' };

    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back ((char) ((payloadSize >> shift) & 0xff));

    return bytes;
}

bool sendAll (int fd, char const* data, size_t size)
{
    while (size > 0)
    {
        auto const n = ::send (fd, data, size, MSG_NOSIGNAL);

        if (n <= 0)
            return false;

        data += n;
        size -= (size_t) n;
    }

    return true;
}

/** A kilobyte figure of /proc/self/status ("VmRSS:", "VmHWM:"). */
double statusKB (std::string const& field)
{
    std::ifstream status ("/proc/self/status");

    for (std::string line; std::getline (status, line);)
        if (line.rfind (field, 0) == 0)
            return std::stod (line.substr (field.size()));

    return 0;
}

/** Lets VmHWM start again from the current resident memory. */
bool resetPeak()
{
    std::ofstream clear ("/proc/self/clear_refs");
    clear << "5";
    return clear.good();
}

/** A machine accepted by the server through discovery from 127.0.0.<lastByte>,
    with its control connection; -1 when that fails. Its ID goes to 'id'. */
int joinServer (int lastByte, int& id)
{
    int udp = ::socket (AF_INET, SOCK_DGRAM, 0);
    auto local = loopback (lastByte, 0);
    auto discovery = loopback (1, 25476);
    ::bind (udp, (sockaddr*) &local, sizeof (local));
    auto const request = "DISCOVERY_REQUEST CLUSTERID: " + std::to_string (clusterID);
    ::sendto (udp, request.data(), request.size(), 0, (sockaddr*) &discovery, sizeof (discovery));
    pollfd reply { udp, POLLIN, 0 };
    char text[256] = {};
    bool const accepted = ::poll (&reply, 1, 2000) > 0 && ::recv (udp, text, sizeof (text) - 1, 0) > 0
                            && std::sscanf (text, "ACCEPTED: %d", &id) == 1;
    ::close (udp);

    if (! accepted)
        return -1;

    int fd = ::socket (AF_INET, SOCK_STREAM, 0);
    auto server = loopback (1, 25477);

    if (::bind (fd, (sockaddr*) &local, sizeof (local)) != 0 || ::connect (fd, (sockaddr*) &server, sizeof (server)) != 0)
    {
        ::close (fd);
        return -1;
    }

    return fd;
}

/** Reads frames from fd through a small buffer, discarding them, until one
    whose payload has 'expected' bytes has arrived whole; false when the
    connection ends or nothing comes for giveUpMs. */
bool receiveFrameOf (int fd, size_t expected)
{
    std::vector<char> buffer (1 << 16);
    size_t frameLeft = 0;          // payload bytes of the current frame still to come
    size_t headerFilled = 0;
    unsigned char head[8] {};

    for (;;)
    {
        pollfd readable { fd, POLLIN, 0 };

        if (::poll (&readable, 1, giveUpMs) <= 0)
            return false;

        auto const n = ::recv (fd, buffer.data(), buffer.size(), 0);

        if (n <= 0)
            return false;

        for (size_t at = 0; at < (size_t) n;)
        {
            if (frameLeft == 0 && headerFilled < 8)
            {
                head[headerFilled++] = (unsigned char) buffer[at++];

                if (headerFilled == 8)
                    frameLeft = (size_t) head[4] | ((size_t) head[5] << 8) | ((size_t) head[6] << 16) | ((size_t) head[7] << 24);

                continue;
            }

            auto const take = std::min (frameLeft, (size_t) n - at);
            at += take;
            frameLeft -= take;

            if (frameLeft == 0)
            {
                auto const length = (size_t) head[4] | ((size_t) head[5] << 8) | ((size_t) head[6] << 16) | ((size_t) head[7] << 24);
                headerFilled = 0;

                if (length == expected)
                    return true;
            }
        }
    }
}

/** One relay of 'size' bytes of text from 'sender' to 'receiver' (ID
    receiverID); its time in ms and the rise of the peak resident memory in
    bytes, or a negative time when the text did not arrive. */
std::pair<double, double> relay (int sender, int receiver, int receiverID, size_t size)
{
    auto const prefix = "Route clipboard to ID: " + std::to_string (receiverID) + " content: ";
    auto const relayedSize = std::string ("Copy to clipboard: ").size() + size;

    auto const before = statusKB ("VmRSS:");
    resetPeak();

    std::atomic<bool> arrived { false };
    std::thread reading ([&] { arrived = receiveFrameOf (receiver, relayedSize); });

    auto const start = std::chrono::steady_clock::now();
    auto const head = header (prefix.size() + size) + prefix;
    std::vector<char> chunk (1 << 20);

    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = (char) ('a' + (char) (i % 26));

    bool sent = sendAll (sender, head.data(), head.size());

    for (size_t left = size; sent && left > 0;)
    {
        auto const n = std::min (left, chunk.size());
        sent = sendAll (sender, chunk.data(), n);
        left -= n;
    }

    reading.join();
    auto const elapsed = std::chrono::duration<double, std::milli> (std::chrono::steady_clock::now() - start).count();
    auto const rise = (statusKB ("VmHWM:") - before) * 1024.0;
    return { sent && arrived ? elapsed : -1.0, rise };
}

void relayMemory (benchmark::State& state)
{
    auto const size = (size_t) state.range (0) * 1024 * 1024;
    auto server = std::make_unique<IPCServer>();
    int senderID = 0, receiverID = 0;
    int const sender = joinServer (10, senderID), receiver = joinServer (11, receiverID);

    std::this_thread::sleep_for (std::chrono::milliseconds (200));   // both paired, joining messages sent

    if (sender < 0 || receiver < 0 || ! resetPeak())
    {
        state.SkipWithError (sender < 0 || receiver < 0 ? "machines could not join the server" : "cannot reset the peak memory");
    }
    else if (relay (sender, receiver, receiverID, size).first < 0)
    {
        state.SkipWithError ("the warm-up relay did not arrive");
    }
    else
    {
        double total = 0, worst = 0;

        for (auto _ : state)
        {
            auto const [ms, rise] = relay (sender, receiver, receiverID, size);

            if (ms < 0)
            {
                state.SkipWithError ("a relay did not arrive");
                break;
            }

            state.SetIterationTime (ms / 1000.0);
            total += ms;
            worst = std::max (worst, rise / (double) size);
        }

        state.counters["peak_multiple"] = worst;
        state.counters["relay_ms"] = total / (double) std::max<juce::int64> (1, state.iterations());
    }

    for (auto fd : { sender, receiver })
        if (fd >= 0)
            ::close (fd);

    server.reset();
}

BENCHMARK (relayMemory)->Arg (100)->UseManualTime()->Unit (benchmark::kMillisecond)->Iterations (3);

/** What a slow reader got of the clipboards routed to it. */
struct SlowReading
{
    int whole = 0;        // clipboards that arrived whole, each its own letter throughout
    char last = 0;        // the letter of the last of them
};

/** Reads frames from fd at about bytesPerSecond until a clipboard of
    'expected' payload bytes filled with 'lastLetter' has arrived, or the
    connection ends, or nothing comes for giveUpMs. */
SlowReading readSlowly (int fd, size_t expected, double bytesPerSecond, char lastLetter)
{
    auto const prefixSize = std::string ("Copy to clipboard: ").size();
    auto const start = std::chrono::steady_clock::now();
    std::vector<char> buffer (1 << 16);
    SlowReading reading;
    size_t total = 0, frameAt = 0, length = 0;
    unsigned char head[8] {};
    size_t headerFilled = 0;
    char letter = 0;
    bool uniform = true;

    for (;;)
    {
        // Ahead of the pace: wait until the pace catches up.
        auto const due = std::chrono::duration<double> ((double) total / bytesPerSecond);

        if (std::chrono::steady_clock::now() - start < due)
            std::this_thread::sleep_for (due - (std::chrono::steady_clock::now() - start));

        pollfd readable { fd, POLLIN, 0 };

        if (::poll (&readable, 1, giveUpMs) <= 0)
            return reading;

        auto const n = ::recv (fd, buffer.data(), buffer.size(), 0);

        if (n <= 0)
            return reading;

        total += (size_t) n;

        for (size_t at = 0; at < (size_t) n;)
        {
            if (headerFilled < 8)
            {
                head[headerFilled++] = (unsigned char) buffer[at++];

                if (headerFilled == 8)
                {
                    length = (size_t) head[4] | ((size_t) head[5] << 8) | ((size_t) head[6] << 16) | ((size_t) head[7] << 24);
                    frameAt = 0;
                    letter = 0;
                    uniform = true;
                }

                continue;
            }

            auto const take = std::min (length - frameAt, (size_t) n - at);

            for (size_t i = 0; i < take; ++i, ++frameAt)
            {
                if (frameAt < prefixSize)
                    continue;

                auto const c = buffer[at + i];
                letter = letter == 0 ? c : letter;
                uniform = uniform && c == letter;
            }

            at += take;

            if (frameAt == length)
            {
                headerFilled = 0;

                if (length == expected && uniform)
                {
                    ++reading.whole;
                    reading.last = letter;

                    if (letter == lastLetter)
                        return reading;
                }
            }
        }
    }
}

/** Routes clipboards of range(0) MB, range(2) of them back to back, each
    filled with its own letter, to a machine that reads range(1) MB a second.
    The reader stays and gets the newest whole; the ones in between wait
    only until a newer one replaces them. Counters: peak_multiple (the rise
    of the peak resident memory as a multiple of one clipboard), delivered
    (the clipboards that arrived whole) and newest_whole (1 when the last one
    did). */
void slowReaderRelays (benchmark::State& state)
{
    auto const size = (size_t) state.range (0) * 1024 * 1024;
    auto const bytesPerSecond = (double) state.range (1) * 1024 * 1024;
    auto const count = (int) state.range (2);
    auto server = std::make_unique<IPCServer>();
    int senderID = 0, receiverID = 0;
    int const sender = joinServer (20, senderID), receiver = joinServer (21, receiverID);

    std::this_thread::sleep_for (std::chrono::milliseconds (200));

    if (sender < 0 || receiver < 0 || ! resetPeak())
    {
        state.SkipWithError (sender < 0 || receiver < 0 ? "machines could not join the server" : "cannot reset the peak memory");
    }
    else
    {
        auto const prefix = "Route clipboard to ID: " + std::to_string (receiverID) + " content: ";
        auto const relayedSize = std::string ("Copy to clipboard: ").size() + size;
        char const lastLetter = (char) ('a' + count - 1);
        std::vector<char> chunk (1 << 20);

        for (auto _ : state)
        {
            auto const before = statusKB ("VmRSS:");
            resetPeak();

            SlowReading reading;
            std::thread reader ([&] { reading = readSlowly (receiver, relayedSize, bytesPerSecond, lastLetter); });
            bool sent = true;

            for (int k = 0; k < count && sent; ++k)
            {
                std::fill (chunk.begin(), chunk.end(), (char) ('a' + k));
                auto const head = header (prefix.size() + size) + prefix;
                sent = sendAll (sender, head.data(), head.size());

                for (size_t left = size; sent && left > 0;)
                {
                    auto const n = std::min (left, chunk.size());
                    sent = sendAll (sender, chunk.data(), n);
                    left -= n;
                }
            }

            reader.join();
            auto const rise = (statusKB ("VmHWM:") - before) * 1024.0;

            state.counters["peak_multiple"] = rise / (double) size;
            state.counters["delivered"] = reading.whole;
            state.counters["newest_whole"] = reading.last == lastLetter ? 1 : 0;

            if (! sent || reading.last != lastLetter)
                state.SkipWithError ("the newest clipboard did not arrive whole");
        }
    }

    for (auto fd : { sender, receiver })
        if (fd >= 0)
            ::close (fd);

    server.reset();
}

// Five clipboards of 40 MB to a machine that reads 5 MB a second.
BENCHMARK (slowReaderRelays)->Args ({ 40, 5, 5 })->Unit (benchmark::kMillisecond)->Iterations (1);
} // namespace

int main (int argc, char** argv)
{
    return runServerBenchmarks (argc, argv, clusterID);
}
