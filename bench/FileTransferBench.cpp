// Clipboard files from one machine to another: the time from the server's
// "Send clipboard to ID: " at the source to the receiver's hand-over of the
// unpacked files, for 1, 10 and 100 MB of incompressible files, next to
// copying the same bytes over a bare TCP connection in the same run, after one
// transfer and one copy of warm-up. A transfer or copy that fails or takes
// longer than a minute is an error, not a time.
//
// Counters: bare_ms (the bare copy), ratio (transfer / bare copy) and
// peak_rss_MB (the process's peak resident memory so far).
//
// It opens sockets, so it enters a network namespace of its own (only the
// loopback) and refuses to run where it cannot. Run it inside scripts/sandbox.sh.

#include "ipc/ClientFileTransfer.h"
#include "ipc/ControlProtocol.h"

#include <benchmark/benchmark.h>
#include <juce_events/juce_events.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/resource.h>
#include <thread>

namespace
{
constexpr int controlPort = 45477;
constexpr int receiverPort = 45600;   // its file-transfer listener waits on + 1
constexpr int barePort = 45700;
constexpr int targetID = 1;

// A client whose operations do what the transfer needs and nothing else.
class BenchClient : public ClientIPC
{
public:
    ~BenchClient() override { closeClient(); }

    juce::Array<juce::File> clipboard;
    std::atomic<int> handOvers { 0 };

    juce::Array<juce::File> checkPasteboardForFiles() override { return clipboard; }

    void sendFileToMachine (juce::File file, int, bool fromDrag) override
    {
        openOutgoingFileTransfer (file, "127.0.0.1", receiverPort + 1, fromDrag);
    }

    void addMultipleFilesOrDirsToClipboard (juce::Array<juce::File> const&) override { ++handOvers; }

    void prepareLocalAndRemote (int, bool) override {}
    void takeBackControl() override {}
    void addMachine (juce::String const&, int, int, juce::RectangleList<int>&, juce::Rectangle<int>&, juce::String const&) override {}
    void removeMachine (juce::String const&, int, int) override {}
    void clearMachines() override {}
    void updateMachinePosition (int, int, int, bool) override {}
    void updateMachineDisplay (juce::ValueTree const&) override {}
    void resizeContentComponent (int, int) override {}
    void jumpTo (int) override {}
    void jumpToMiddle (bool) override {}
    void gotReceivingModeMessage (juce::String const&) override {}
    void gotIdleModeMessage() override {}
    void stopSocketThread (bool) override {}
    void stopListenerThread() override {}
    void tellMainComponentIAmServer() override {}
    juce::Array<juce::File> checkPasteboardForDraggedFiles() override { return {}; }
    void addFileToClipboard (juce::File, bool) override {}
    void emptyClipboard() override {}
    juce::FileLogger* getLogger() override { return nullptr; }
    void setCurrentInputID (int) override {}
    void setCurrentReceivingID (int) override {}
};

juce::MemoryBlock frameOf (juce::String const& text)
{
    juce::MemoryBlock block (8 + text.getNumBytesAsUTF8());
    auto* bytes = static_cast<juce::uint8*> (block.getData());
    auto put = [bytes] (int at, juce::uint32 v) { for (int i = 0; i < 4; ++i) bytes[at + i] = (juce::uint8) (v >> (8 * i)); };
    put (0, ControlProtocol::magicNumber);
    put (4, (juce::uint32) text.getNumBytesAsUTF8());
    std::memcpy (bytes + 8, text.toRawUTF8(), text.getNumBytesAsUTF8());
    return block;
}

// Files of 'total' random bytes: one file up to 1 MB, then several of 10 MB.
juce::Array<juce::File> makeFiles (juce::int64 total)
{
    auto folder = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("bench-" + juce::String (total));
    folder.deleteRecursively();
    folder.createDirectory();

    juce::Array<juce::File> files;
    juce::Random random (42);
    juce::int64 left = total;

    for (int i = 0; left > 0; ++i)
    {
        auto size = juce::jmin<juce::int64> (left, 10 * 1024 * 1024);
        juce::MemoryBlock block ((size_t) size);
        random.fillBitsRandomly (block.getData(), block.getSize());
        auto file = folder.getChildFile ("part" + juce::String (i) + ".bin");
        file.replaceWithData (block.getData(), block.getSize());
        files.add (file);
        left -= size;
    }

    return files;
}

constexpr double giveUpMs = 60000.0;

// The time to copy 'total' bytes over a bare connection; negative when they did not all arrive.
double bareCopyMs (juce::int64 total)
{
    juce::StreamingSocket listener;
    listener.createListener (barePort, "127.0.0.1");
    std::atomic<juce::int64> received { 0 };

    auto start = juce::Time::getMillisecondCounterHiRes();
    std::thread reader ([&]
    {
        std::unique_ptr<juce::StreamingSocket> in (listener.waitForNextConnection());
        std::vector<char> buffer (1 << 16);

        while (in != nullptr && received < total)
        {
            if (in->waitUntilReady (true, (int) giveUpMs) != 1)
                break;

            auto n = in->read (buffer.data(), (int) buffer.size(), false);

            if (n <= 0)
                break;

            received += n;
        }
    });

    juce::StreamingSocket out;
    out.connect ("127.0.0.1", barePort, 1000);
    std::vector<char> chunk (1 << 20, 'x');

    for (juce::int64 sent = 0; sent < total;)
    {
        auto n = out.write (chunk.data(), (int) juce::jmin<juce::int64> ((juce::int64) chunk.size(), total - sent));

        if (n <= 0)
            break;

        sent += n;
    }

    reader.join();
    return received == total ? juce::Time::getMillisecondCounterHiRes() - start : -1.0;
}

double peakResidentMB()
{
    rusage usage {};
    getrusage (RUSAGE_SELF, &usage);
    return (double) usage.ru_maxrss / 1024.0;
}

void clipboardFilesTransfer (benchmark::State& state)
{
    auto const total = (juce::int64) state.range (0) * 1024 * 1024;

    BenchClient receiver, source;
    receiver.fileTransferServer = std::make_unique<ClientIPC::ClientFileTransferIPCServer> (receiverPort + 1, &receiver);

    if (! receiver.fileTransferServer->beginListening())
    {
        state.SkipWithError ("cannot listen");
        return;
    }

    source.clipboard = makeFiles (total);

    juce::StreamingSocket serverListener;
    serverListener.createListener (controlPort, "127.0.0.1");

    if (! source.connectToSocket ("127.0.0.1", controlPort, 1000))
    {
        state.SkipWithError ("cannot connect");
        return;
    }

    std::unique_ptr<juce::StreamingSocket> server (serverListener.waitForNextConnection());
    auto const request = frameOf (ControlProtocol::sendClipboardToID (targetID));

    // One transfer: the time until the receiver hands the files over; negative when it does not.
    auto const transferMs = [&]
    {
        auto before = receiver.handOvers.load();
        auto start = juce::Time::getMillisecondCounterHiRes();

        if (server == nullptr || server->write (request.getData(), (int) request.getSize()) != (int) request.getSize())
            return -1.0;

        while (receiver.handOvers.load() == before)
        {
            juce::MessageManager::getInstance()->runDispatchLoopUntil (1);

            if (juce::Time::getMillisecondCounterHiRes() - start > giveUpMs)
                return -1.0;
        }

        return juce::Time::getMillisecondCounterHiRes() - start;
    };

    if (transferMs() < 0 || bareCopyMs (total) < 0)
    {
        state.SkipWithError ("the warm-up transfer or copy failed");
        return;
    }

    double bare = 0, transfer = 0;
    int iterations = 0;

    for (auto _ : state)
    {
        auto const elapsed = transferMs();
        auto const copy = bareCopyMs (total);

        if (elapsed < 0 || copy < 0)
        {
            state.SkipWithError (elapsed < 0 ? "the files did not arrive" : "the bare copy failed");
            break;
        }

        state.SetIterationTime (elapsed / 1000.0);
        transfer += elapsed;
        bare += copy;
        ++iterations;
    }

    if (iterations == 0)
        return;

    state.counters["bare_ms"] = bare / iterations;
    state.counters["ratio"] = transfer / bare;
    state.counters["peak_rss_MB"] = peakResidentMB();
    state.SetBytesProcessed ((int64_t) state.iterations() * total);
}

BENCHMARK (clipboardFilesTransfer)->Arg (1)->Arg (10)->Arg (100)->UseManualTime()->Unit (benchmark::kMillisecond)->Iterations (3);
} // namespace

int main (int argc, char** argv)
{
    if (unshare (CLONE_NEWNET) != 0 || std::system ("ip link set lo up") != 0)
    {
        std::fprintf (stderr, "bench: refusing to run without a network namespace of its own (needs root; run it in scripts/sandbox.sh)\n");
        return 1;
    }

    // A peer that goes away must not end the process (the program ignores it too).
    std::signal (SIGPIPE, SIG_IGN);

    juce::ScopedJuceInitialiser_GUI juce;
    benchmark::Initialize (&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
