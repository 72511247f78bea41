// Clipboard files from one machine to another: the time from the server's
// "Send clipboard to ID: " at the source to the receiver's hand-over of the
// unpacked files, for 1, 10 and 100 MB of incompressible files, next to
// copying the same bytes over a bare TCP connection in the same run, after one
// transfer and one copy of warm-up. A transfer or copy that fails or takes
// longer than a minute is an error, not a time.
//
// Counters: bare_ms (the bare copy), ratio (transfer / bare copy),
// peak_rss_MB (the process's peak resident memory so far) and peak_x (the
// largest growth of resident memory during one transfer, both ends in this
// process, as a multiple of the payload).
//
// clipboardFilesMemory measures each end alone against a raw peer that keeps
// at most a megabyte: send_x is the growth of resident memory from the
// server's request until a raw receiver has read the whole archive (packing,
// loading and sending), receive_x from a raw sender's header until the
// receiver hands the files over (reading, writing and unpacking), each as a
// multiple of the payload.
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
#include <fstream>
#include <functional>
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

// The growth of resident memory over a stretch of the run: the kernel's peak
// (VmHWM) is reset at the start, and the peak at the end is taken against the
// resident size at the start.
class MemoryGrowth
{
public:
    MemoryGrowth()
    {
        std::ofstream ("/proc/self/clear_refs") << "5";
        start = statusKB ("VmRSS:");
    }

    // Bytes above the start at the highest point so far; negative when the
    // kernel does not keep the peak.
    juce::int64 peakBytes() const
    {
        auto peak = statusKB ("VmHWM:");
        return peak < 0 || start < 0 ? -1 : (peak - start) * 1024;
    }

private:
    static juce::int64 statusKB (juce::String const& key)
    {
        juce::StringArray lines;
        lines.addLines (juce::File ("/proc/self/status").loadFileAsString());

        for (auto const& line : lines)
            if (line.startsWith (key))
                return line.fromFirstOccurrenceOf (key, false, false).trim().getLargeIntValue();

        return -1;
    }

    juce::int64 start = -1;
};

// Pumps the message loop until 'done' or the give-up time; false on giving up.
bool pumpUntil (std::function<bool()> const& done)
{
    auto const start = juce::Time::getMillisecondCounterHiRes();

    while (! done())
    {
        juce::MessageManager::getInstance()->runDispatchLoopUntil (1);

        if (juce::Time::getMillisecondCounterHiRes() - start > giveUpMs)
            return false;
    }

    return true;
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

    double bare = 0, transfer = 0, peak = 0;
    int iterations = 0;

    for (auto _ : state)
    {
        MemoryGrowth growth;
        auto const elapsed = transferMs();
        peak = juce::jmax (peak, (double) growth.peakBytes() / (double) total);
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
    state.counters["peak_x"] = peak;
    state.SetBytesProcessed ((int64_t) state.iterations() * total);
}

//==============================================================================
// A raw peer's side of the framing.
bool readExactly (juce::StreamingSocket& socket, void* data, int size)
{
    for (int done = 0; done < size;)
    {
        if (socket.waitUntilReady (true, (int) giveUpMs) != 1)
            return false;

        auto n = socket.read (static_cast<char*> (data) + done, size - done, false);

        if (n <= 0)
            return false;

        done += n;
    }

    return true;
}

// Reads one frame, keeping no more than a megabyte of it; its length, or -1.
juce::int64 readFrameAndDrop (juce::StreamingSocket& socket, juce::String* text = nullptr)
{
    juce::uint32 header[2];

    if (! readExactly (socket, header, sizeof (header)) || header[0] != ControlProtocol::magicNumber)
        return -1;

    std::vector<char> chunk (1 << 20);
    juce::int64 left = header[1];

    while (left > 0)
    {
        auto n = (int) juce::jmin<juce::int64> (left, (juce::int64) chunk.size());

        if (! readExactly (socket, chunk.data(), n))
            return -1;

        if (text != nullptr && left == header[1])
            *text = juce::String::fromUTF8 (chunk.data(), n);

        left -= n;
    }

    return header[1];
}

bool writeAll (juce::StreamingSocket& socket, void const* data, int size)
{
    for (int done = 0; done < size;)
    {
        if (socket.waitUntilReady (false, (int) giveUpMs) != 1)
            return false;

        auto n = socket.write (static_cast<char const*> (data) + done, size - done);

        if (n <= 0)
            return false;

        done += n;
    }

    return true;
}

// Sends a file as one frame, a megabyte at a time.
bool writeFileFrame (juce::StreamingSocket& socket, juce::File const& file)
{
    juce::FileInputStream in (file);
    juce::uint32 const header[2] { ControlProtocol::magicNumber, (juce::uint32) file.getSize() };

    if (! in.openedOk() || ! writeAll (socket, header, sizeof (header)))
        return false;

    std::vector<char> chunk (1 << 20);

    for (int n; (n = in.read (chunk.data(), (int) chunk.size())) > 0;)
        if (! writeAll (socket, chunk.data(), n))
            return false;

    return true;
}

void clipboardFilesMemory (benchmark::State& state)
{
    auto const total = (juce::int64) state.range (0) * 1024 * 1024;
    auto files = makeFiles (total);

    // The archive the receiver gets, kept apart from the transfer folder that
    // each received transfer empties.
    auto archive = files[0].getSiblingFile ("archive.zip");
    FileTransfer::packFiles (files).moveFileTo (archive);

    // The sending end: a client asked by its server for its clipboard, and a
    // raw receiver that answers the header and reads the archive.
    auto sendOnce = [&]() -> double
    {
        BenchClient source;
        source.clipboard = files;
        juce::StreamingSocket serverListener, rawListener;
        serverListener.createListener (controlPort, "127.0.0.1");
        rawListener.createListener (receiverPort + 1, "127.0.0.1");

        if (! source.connectToSocket ("127.0.0.1", controlPort, 1000))
            return -1;

        std::unique_ptr<juce::StreamingSocket> server (serverListener.waitForNextConnection());
        std::atomic<juce::int64> received { -2 };
        std::thread raw ([&]
        {
            std::unique_ptr<juce::StreamingSocket> in (rawListener.waitForNextConnection());
            juce::String header;
            auto answer = frameOf ("Filename received!");

            if (in == nullptr || readFrameAndDrop (*in, &header) < 0 || ! header.startsWith ("Filename: ")
                 || ! writeAll (*in, answer.getData(), (int) answer.getSize()))
                received = -1;
            else
                received = readFrameAndDrop (*in);
        });

        auto const request = frameOf (ControlProtocol::sendClipboardToID (targetID));
        MemoryGrowth growth;
        bool sent = server != nullptr && writeAll (*server, request.getData(), (int) request.getSize())
                 && pumpUntil ([&] { return received.load() != -2; });
        auto const peak = growth.peakBytes();

        rawListener.close();   // a raw side still waiting gives up
        raw.join();
        return sent && received.load() > 0 ? (double) peak / (double) total : -1;
    };

    // The receiving end: a client's listener, and a raw sender that sends the
    // header and then the archive from disk.
    auto receiveOnce = [&]() -> double
    {
        BenchClient receiver;
        receiver.fileTransferServer = std::make_unique<ClientIPC::ClientFileTransferIPCServer> (receiverPort + 1, &receiver);

        if (! receiver.fileTransferServer->beginListening())
            return -1;

        juce::StreamingSocket out;

        if (! out.connect ("127.0.0.1", receiverPort + 1, 1000))
            return -1;

        MemoryGrowth growth;
        std::atomic<bool> sent { false }, failed { false };
        std::thread raw ([&]
        {
            auto header = frameOf (FileTransfer::header ("zipOut.zip", false));
            juce::String answer;

            if (! writeAll (out, header.getData(), (int) header.getSize()) || readFrameAndDrop (out, &answer) < 0
                 || answer != "Filename received!" || ! writeFileFrame (out, archive))
                failed = true;
            sent = true;
        });

        bool handedOver = pumpUntil ([&] { return receiver.handOvers.load() > 0 || failed.load(); }) && ! failed.load();
        auto const peak = growth.peakBytes();
        out.close();
        raw.join();
        return handedOver ? (double) peak / (double) total : -1;
    };

    if (sendOnce() < 0 || receiveOnce() < 0)
    {
        state.SkipWithError ("the warm-up send or receive failed");
        return;
    }

    double send = 0, receive = 0;

    for (auto _ : state)
    {
        auto const start = juce::Time::getMillisecondCounterHiRes();
        auto const s = sendOnce();
        auto const r = receiveOnce();

        if (s < 0 || r < 0)
        {
            state.SkipWithError (s < 0 ? "the files were not sent" : "the files were not received");
            return;
        }

        send = juce::jmax (send, s);
        receive = juce::jmax (receive, r);
        state.SetIterationTime ((juce::Time::getMillisecondCounterHiRes() - start) / 1000.0);
    }

    state.counters["send_x"] = send;
    state.counters["receive_x"] = receive;
}

BENCHMARK (clipboardFilesTransfer)->Arg (1)->Arg (10)->Arg (100)->UseManualTime()->Unit (benchmark::kMillisecond)->Iterations (3);
BENCHMARK (clipboardFilesMemory)->Arg (100)->UseManualTime()->Unit (benchmark::kMillisecond)->Iterations (2);
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
