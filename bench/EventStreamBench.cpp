// How long an input event takes from entering the sending SocketThread's
// queue to its replay being posted on the receiving machine (datagram text,
// encryption, UDP, decryption, parsing, posting to an Xvfb through the X11
// input platform), next to a bare UDP echo between the same sockets' namespace
// measured alternately in the same run; and how many pointer moves a second
// the pair carries without losing a key or button event.
//
// Counters of BM_OneWayLatency (argument: 0 pointer moves, 1 key downs and ups
// and left-button downs and ups in turn): p50_us and p99_us of the event path, bare_p50_us
// and bare_p99_us of the bare one-way hop (send to the echo thread's receive),
// the bare round trip's p50 (echo_rtt_p50_us), and the mean time spent in the X11
// platform's postEvent (x11_post_us). Counters of BM_PointerRate
// (argument: moves queued per second, 0 for as fast as the queue takes them):
// moves_per_s queued and posted_moves_per_s replayed, keys_and_buttons sent and
// lost, and the mean time spent in the X11 platform's postEvent (x11_post_us).
//
// It opens sockets, so it moves itself into a network namespace of its own
// (loopback only) and refuses to run when it cannot; it posts to the X display,
// so it needs one. Run it inside the sandbox:
//   scripts/sandbox.sh build/bench/bench_EventStreamBench

#include "input/SocketThread.h"
#include "platform/X11Backend.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;
using Event = SocketThread::EventPlusData;

constexpr int senderPort = 25500, receiverPort = 25501, echoPort = 25502, echoClientPort = 25503;
constexpr juce::uint16 macF12 = 111;   // a key nothing reacts to

double microseconds (Clock::duration d) { return std::chrono::duration<double, std::micro> (d).count(); }

double percentile (std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0.0;

    std::sort (samples.begin(), samples.end());
    return samples[std::min (samples.size() - 1, (size_t) (p * (double) samples.size()))];
}

/** The application as the SocketThread sees it: one machine at the origin, nothing shown. */
struct BenchHost : InputHost
{
    int getOwnID() const override                                         { return 1; }
    int getActiveMonitorID() const override                               { return 1; }
    void setActiveMonitorID (int) override                                {}
    int getCurrentInputID() const override                                { return 1; }
    int getNumMachines() const override                                   { return 2; }
    std::optional<juce::Rectangle<int>> getOwnArea() const override       { return juce::Rectangle<int> (0, 0, 1920, 1080); }
    juce::Rectangle<int> getOwnDesktop() const override                   { return { 0, 0, 1920, 1080 }; }
    juce::Point<double> getWarpPoint() const override                     { return { 960, 540 }; }
    int getIDOfMachineAt (int, int) const override                        { return 1; }
    juce::Point<double> getLocalCursor() const override                   { return {}; }
    void setLocalCursor (juce::Point<double>) override                    {}
    juce::Point<double> getVirtualCursor() const override                 { return {}; }
    void setVirtualCursor (juce::Point<double>) override                  {}
    void inputReceived() override                                         {}
    void prepareLocalAndRemote (int, bool) override                       {}
    void takeBackControl() override                                       {}
    void requestClipboardFromTo (int, int) override                       {}
    void sendToServer (juce::String const&) override                      {}
    juce::CriticalSection& getControlLock() override                      { return controlLock; }
    void stopMessageLoop() override                                       {}
    void updateVirtualMonitorPosition (juce::Point<double>) override      {}
    void showDebugText (juce::String const&) override                     {}
    void showStreamingDebugText (juce::String const&) override            {}
    void showReceivedFlags (int) override                                 {}
    void showIdle() override                                              {}
    void setClipboardText (juce::String const&) override                  {}

    juce::CriticalSection controlLock;
};

/** The X11 platform, with the time and kind of every post it makes. */
class TimedPlatform : public InputPlatform
{
public:
    explicit TimedPlatform (std::unique_ptr<InputPlatform> x11) : inner (std::move (x11)) {}

    std::unique_ptr<EventTap> createEventTap (EventTap::Callback callback) override { return inner->createEventTap (std::move (callback)); }
    juce::Point<double> getPointerLocation() override                    { return inner->getPointerLocation(); }
    bool warpPointer (juce::Point<double> location) override             { return inner->warpPointer (location); }
    void showCursor() override                                           { inner->showCursor(); }
    std::shared_ptr<const KeyboardLayout> getCurrentKeyboardLayout() override { return inner->getCurrentKeyboardLayout(); }
    void declareUserActivity (const juce::String& name) override         { inner->declareUserActivity (name); }
    void releaseHeldInput() override                                     { inner->releaseHeldInput(); }

    bool postEvent (const InputEvent& event) override
    {
        auto const start = Clock::now();
        auto const ok = inner->postEvent (event);
        auto const now = Clock::now();
        {
            const std::lock_guard<std::mutex> l (lock);
            ++(event.isMotion() ? moves : others);
            lastPost = now;
            postingTime += now - start;
        }
        posted.notify_all();
        return ok;
    }

    struct Counts { juce::uint64 moves = 0, others = 0; Clock::time_point lastPost; Clock::duration postingTime {}; };

    Counts getCounts()
    {
        const std::lock_guard<std::mutex> l (lock);
        return { moves, others, lastPost, postingTime };
    }

    /** Waits until more than 'total' posts were made; the time of the last, or none. */
    std::optional<Clock::time_point> waitForPostsBeyond (juce::uint64 total, int timeoutMs)
    {
        std::unique_lock<std::mutex> l (lock);

        if (! posted.wait_for (l, std::chrono::milliseconds (timeoutMs), [&] { return moves + others > total; }))
            return std::nullopt;

        return lastPost;
    }

protected:
    bool applyWithholding (bool shouldWithhold) override                 { return inner->setWithholding (shouldWithhold); }

private:
    std::unique_ptr<InputPlatform> inner;
    std::mutex lock;
    std::condition_variable posted;
    juce::uint64 moves = 0, others = 0;
    Clock::time_point lastPost;
    Clock::duration postingTime {};
};

/** A sending and a receiving SocketThread in this process, the receiver posting to the display. */
struct Pair
{
    Pair()
    {
        if (auto x11 = createX11InputPlatform())
        {
            receiverPlatform = std::make_unique<TimedPlatform> (std::move (x11));
            receiver = std::make_unique<SocketThread> (receiverHost, *receiverPlatform);
            sender = std::make_unique<SocketThread> (senderHost, *receiverPlatform);   // the sender posts nothing
            receiver->setReceiving ("MAC", receiverPort, { { "127.0.0.1", senderPort } });
            sender->setSending ("127.0.0.1", receiverPort, "MAC", senderPort);

            // Datagrams sent before the receiver has bound its port are lost: wait for the first to arrive.
            for (int i = 0; i < 100 && ! ready; ++i)
            {
                auto const before = receiverPlatform->getCounts();
                sender->queueEvent ([] (Event& e) { e.type = 0; e.x = 50; e.y = 50; });
                ready = receiverPlatform->waitForPostsBeyond (before.moves + before.others, 50).has_value();
            }
        }
    }

    ~Pair()
    {
        if (sender != nullptr)
        {
            sender->setIdle();
            receiver->setIdle();
        }
    }

    bool ok() const { return ready; }

    BenchHost senderHost, receiverHost;
    std::unique_ptr<TimedPlatform> receiverPlatform;
    std::unique_ptr<SocketThread> receiver, sender;
    bool ready = false;
};

/** A bare UDP echo: a thread that stamps the arrival of each datagram and sends it back. */
struct BareEcho
{
    BareEcho()
    {
        server = bound (echoPort);
        client = bound (echoClientPort);
        thread = std::thread ([this]
        {
            char buffer[64];
            sockaddr_in from {};
            socklen_t length = sizeof (from);

            for (;;)
            {
                auto const n = ::recvfrom (server, buffer, sizeof (buffer), 0, (sockaddr*) &from, &length);

                if (n <= 0 || buffer[0] == 'q')
                    return;

                arrival.store (Clock::now().time_since_epoch().count(), std::memory_order_release);
                ::sendto (server, buffer, (size_t) n, 0, (sockaddr*) &from, length);
            }
        });
    }

    ~BareEcho()
    {
        send ("q");
        thread.join();
        ::close (server);
        ::close (client);
    }

    /** One datagram there and back: the one-way time to the echo thread and the round trip. */
    std::pair<double, double> echo()
    {
        auto const start = Clock::now();
        send ("Move mouse to: 100_100 flags: 256");
        pollfd reply { client, POLLIN, 0 };
        char buffer[64];

        if (::poll (&reply, 1, 1000) <= 0 || ::recv (client, buffer, sizeof (buffer), 0) <= 0)
            return { 0.0, 0.0 };

        auto const back = Clock::now();
        auto const there = Clock::time_point (Clock::duration (arrival.load (std::memory_order_acquire)));
        return { microseconds (there - start), microseconds (back - start) };
    }

    void send (const char* text)
    {
        auto to = address (echoPort);
        ::sendto (client, text, std::strlen (text), 0, (sockaddr*) &to, sizeof (to));
    }

    static sockaddr_in address (int port)
    {
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons ((uint16_t) port);
        a.sin_addr.s_addr = htonl (INADDR_LOOPBACK);
        return a;
    }

    static int bound (int port)
    {
        int fd = ::socket (AF_INET, SOCK_DGRAM, 0);
        auto a = address (port);
        ::bind (fd, (sockaddr*) &a, sizeof (a));
        return fd;
    }

    int server = -1, client = -1;
    std::atomic<Clock::rep> arrival { 0 };
    std::thread thread;
};

std::function<void (Event&)> moveTo (double x, double y)
{
    return [=] (Event& e) { e.type = 0; e.x = x; e.y = y; };
}

std::function<void (Event&)> keyOrButton (int n)
{
    // Key down, key up, left down, left up, in turn.
    return [n] (Event& e)
    {
        switch (n % 4)
        {
            case 0:  e.type = 8; e.keyCode = macF12; break;
            case 1:  e.type = 9; e.keyCode = macF12; break;
            case 2:  e.type = 2; e.clickState = 1; break;
            default: e.type = 3; e.clickState = 1; break;
        }
    };
}

void BM_OneWayLatency (benchmark::State& state)
{
    if (! BenchSupport::haveDisplay (state))
        return;

    Pair pair;
    BareEcho bare;

    if (! pair.ok())
    {
        state.SkipWithError ("no X11 input platform, or the receiver gets nothing");
        return;
    }

    std::vector<double> eventPath, bareOneWay, bareRoundTrip;
    auto const first = pair.receiverPlatform->getCounts();
    auto const keysAndButtons = state.range (0) == 1;
    int i = 0;

    for (auto _ : state)
    {
        // One event at a time: each must arrive without a next one behind it.
        auto const before = pair.receiverPlatform->getCounts();
        auto const start = Clock::now();
        pair.sender->queueEvent (keysAndButtons ? keyOrButton (i++) : moveTo (100 + (i++ % 200), 100));
        auto const posted = pair.receiverPlatform->waitForPostsBeyond (before.moves + before.others, 1000);

        if (! posted)
        {
            state.SkipWithError ("an event did not arrive within a second");
            break;
        }

        auto const us = microseconds (*posted - start);
        eventPath.push_back (us);
        state.SetIterationTime (us / 1e6);

        auto const [oneWay, roundTrip] = bare.echo();
        bareOneWay.push_back (oneWay);
        bareRoundTrip.push_back (roundTrip);
    }

    state.counters["p50_us"] = percentile (eventPath, 0.50);
    state.counters["p99_us"] = percentile (eventPath, 0.99);
    state.counters["bare_p50_us"] = percentile (bareOneWay, 0.50);
    state.counters["bare_p99_us"] = percentile (bareOneWay, 0.99);
    state.counters["echo_rtt_p50_us"] = percentile (bareRoundTrip, 0.50);

    auto const last = pair.receiverPlatform->getCounts();
    auto const posts = (double) (last.moves + last.others - first.moves - first.others);
    state.counters["x11_post_us"] = posts > 0 ? microseconds (last.postingTime - first.postingTime) / posts : 0.0;
}

BENCHMARK (BM_OneWayLatency)->Arg (0)->Arg (1)->UseManualTime()->Unit (benchmark::kMicrosecond)->Iterations (20000);

void BM_PointerRate (benchmark::State& state)
{
    if (! BenchSupport::haveDisplay (state))
        return;

    Pair pair;

    if (! pair.ok())
    {
        state.SkipWithError ("no X11 input platform, or the receiver gets nothing");
        return;
    }

    auto const rate = (double) state.range (0);
    auto const duration = std::chrono::seconds (1);
    constexpr int movesPerKeyOrButton = 20;

    for (auto _ : state)
    {
        auto const before = pair.receiverPlatform->getCounts();
        int moves = 0, others = 0;
        auto const start = Clock::now();

        while (Clock::now() - start < duration)
        {
            if (rate > 0)
                std::this_thread::sleep_until (start + std::chrono::duration_cast<Clock::duration> (
                                                           std::chrono::duration<double> ((double) (moves + others) / rate)));

            if (moves % movesPerKeyOrButton == movesPerKeyOrButton - 1 && others < moves / movesPerKeyOrButton)
                pair.sender->queueEvent (keyOrButton (others++));
            else
            {
                pair.sender->queueEvent (moveTo (100 + moves % 1000, 200 + moves % 7));
                ++moves;
            }
        }

        auto const queued = Clock::now() - start;

        // Until nothing more arrives for 300 ms.
        auto last = pair.receiverPlatform->getCounts();
        while (auto more = pair.receiverPlatform->waitForPostsBeyond (last.moves + last.others, 300))
            last = pair.receiverPlatform->getCounts();

        auto const replayed = last.lastPost - start;
        state.SetIterationTime (std::chrono::duration<double> (queued).count());
        state.counters["moves_per_s"] = moves / std::chrono::duration<double> (queued).count();
        state.counters["posted_moves_per_s"] = (double) (last.moves - before.moves) / std::chrono::duration<double> (replayed).count();
        state.counters["keys_and_buttons"] = others;
        state.counters["lost"] = (double) others - (double) (last.others - before.others);
        state.counters["x11_post_us"] = microseconds (last.postingTime - before.postingTime)
                                          / (double) juce::jmax<juce::uint64> (1, last.moves + last.others - before.moves - before.others);
    }
}

BENCHMARK (BM_PointerRate)->Arg (1000)->Arg (4000)->Arg (16000)->Arg (0)->UseManualTime()->Iterations (1)->Unit (benchmark::kMillisecond);

} // namespace

int main (int argc, char** argv)
{
    if (! BenchSupport::enterOwnNetworkNamespace())
    {
        std::fprintf (stderr, "bench: cannot enter a network namespace of its own; run it as root inside scripts/sandbox.sh\n");
        return 1;
    }

    juce::ScopedJuceInitialiser_GUI juce;
    return BenchSupport::runSpecifiedBenchmarks (argc, argv);
}
