// How long an event posted through the input platform takes to reach the
// callback of the platform's own event tap, next to the bare XTest request
// plus round trip measured in the same run, after a warm-up. An event the tap
// misses (2 s) is an error, not a time.
//
// Needs an X display: scripts/bench.sh runs it in the test sandbox, which
// starts an Xvfb.

#include "platform/X11Backend.h"

#include "BenchSupport.h"

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace
{
using Clock = std::chrono::steady_clock;

// Keys nothing reacts to: F11 for the bare path, F12 for the layer. Two
// different keys, so that the interleaved paths of BM_LatencyRatio never press
// a key the other holds down (a second press or release of one key may come
// to nothing, and the tap would wait for it in vain).
constexpr int keycodeF11 = 95;
constexpr juce::uint16 macF12 = 111;

struct BareConnection
{
    BareConnection() : connection (xcb_connect (nullptr, nullptr)) {}
    ~BareConnection() { xcb_disconnect (connection); }

    bool ok() const { return xcb_connection_has_error (connection) == 0; }

    // One XTest key event and a round trip that waits until the server has handled it.
    void postAndSync (bool down)
    {
        xcb_test_fake_input (connection, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycodeF11,
                             XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        std::free (xcb_get_input_focus_reply (connection, xcb_get_input_focus (connection), nullptr));
    }

    xcb_connection_t* connection;
};

// The next pointer position, one pixel away from the last one posted: a move
// to where the pointer already is makes no event, so every run (Google
// Benchmark runs each benchmark several times) goes on from where the last
// one left the pointer.
juce::Point<double> nextPointerPosition()
{
    static double x = 100.0;
    x = x == 100.0 ? 101.0 : 100.0;
    return { x, 100.0 };
}

// The platform with a running tap whose callback counts the marked events.
struct LayerPath
{
    LayerPath()
    {
        platform = createX11InputPlatform();

        if (platform == nullptr)
            return;

        tap = platform->createEventTap ([this] (EventTap&, const InputEvent& e)
        {
            if (e.isMarked())
                seen.fetch_add (1, std::memory_order_release);

            return EventTap::Verdict::pass;
        });

        if (tap == nullptr)
            return;

        thread = std::thread ([this] { tap->run(); });

        while (! tap->isRunning())
            std::this_thread::sleep_for (std::chrono::milliseconds (1));

        // The tap may say it runs a moment before the display delivers to it:
        // the path counts as ready once a post has come through.
        for (int attempt = 0; attempt < 5 && ! ready; ++attempt)
            ready = postAndWait (InputEvent::mouseMove (nextPointerPosition()));
    }

    ~LayerPath()
    {
        if (thread.joinable())
        {
            tap->stop();
            thread.join();
        }
    }

    bool ok() const { return tap != nullptr && ready; }

    // Posts one event and waits until the tap's callback has seen it.
    bool postAndWait (const InputEvent& event)
    {
        const auto before = seen.load (std::memory_order_acquire);
        platform->postEvent (event);
        const auto deadline = Clock::now() + std::chrono::seconds (2);

        while (seen.load (std::memory_order_acquire) == before)
            if (Clock::now() > deadline)
                return false;

        return true;
    }

    std::unique_ptr<InputPlatform> platform;
    std::unique_ptr<EventTap> tap;
    std::thread thread;
    std::atomic<int> seen { 0 };
    bool ready = false;
};

double microseconds (Clock::duration d)
{
    return std::chrono::duration<double, std::micro> (d).count();
}

void BM_BareXTestRoundTrip (benchmark::State& state)
{
    if (! BenchSupport::haveDisplay (state))
        return;

    BareConnection bare;
    bool down = true;

    for (auto _ : state)
    {
        bare.postAndSync (down);
        down = ! down;
    }

    if (! down)
        bare.postAndSync (false);
}

void BM_PostedKeyReachesTapCallback (benchmark::State& state)
{
    if (! BenchSupport::haveDisplay (state))
        return;

    LayerPath layer;

    if (! layer.ok())
    {
        state.SkipWithError ("no event tap");
        return;
    }

    bool down = true;

    for (auto _ : state)
    {
        if (! layer.postAndWait (InputEvent::key (macF12, down)))
        {
            state.SkipWithError ("the tap missed an event");
            break;
        }

        down = ! down;
    }

    if (! down)
        layer.postAndWait (InputEvent::key (macF12, false));
}

void BM_PostedMoveReachesTapCallback (benchmark::State& state)
{
    if (! BenchSupport::haveDisplay (state))
        return;

    LayerPath layer;

    if (! layer.ok())
    {
        state.SkipWithError ("no event tap");
        return;
    }

    for (auto _ : state)
    {
        if (! layer.postAndWait (InputEvent::mouseMove (nextPointerPosition())))
        {
            state.SkipWithError ("the tap missed an event");
            break;
        }
    }
}

// Both paths, interleaved so they share the machine's conditions; the
// counters report the mean of each and their ratio (layer / bare). The
// argument chooses the posted event: 0 a key, 1 a pointer move.
void BM_LatencyRatio (benchmark::State& state)
{
    if (! BenchSupport::haveDisplay (state))
        return;

    BareConnection bare;
    LayerPath layer;

    if (! bare.ok() || ! layer.ok())
    {
        state.SkipWithError ("no display or no event tap");
        return;
    }

    Clock::duration bareTotal {}, layerTotal {};
    const bool moves = state.range (0) == 1;
    bool down = true;

    for (auto _ : state)
    {
        auto start = Clock::now();
        bare.postAndSync (down);
        auto middle = Clock::now();

        if (! layer.postAndWait (moves ? InputEvent::mouseMove (nextPointerPosition())
                                       : InputEvent::key (macF12, down)))
        {
            state.SkipWithError ("the tap missed an event");
            break;
        }

        auto end = Clock::now();

        bareTotal += middle - start;
        layerTotal += end - middle;
        down = ! down;
    }

    if (! down)
    {
        bare.postAndSync (false);

        if (! moves)
            layer.postAndWait (InputEvent::key (macF12, false));
    }

    const auto n = (double) juce::jmax<benchmark::IterationCount> (1, state.iterations());
    state.counters["bare_us"] = microseconds (bareTotal) / n;
    state.counters["layer_us"] = microseconds (layerTotal) / n;
    state.counters["ratio"] = microseconds (layerTotal) / juce::jmax (1.0e-9, microseconds (bareTotal));
}
} // namespace

BENCHMARK (BM_BareXTestRoundTrip)->MinWarmUpTime (0.3)->MinTime (1.0);
BENCHMARK (BM_PostedKeyReachesTapCallback)->MinWarmUpTime (0.3)->MinTime (1.0);
BENCHMARK (BM_PostedMoveReachesTapCallback)->MinWarmUpTime (0.3)->MinTime (1.0);
BENCHMARK (BM_LatencyRatio)->Arg (0)->Arg (1)->MinWarmUpTime (0.5)->MinTime (2.0);

BENCHMARK_MAIN();
