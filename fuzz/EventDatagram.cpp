// Feeds arbitrary bytes to the receiving side of the event datagram: each run
// is split at 0xff bytes into datagrams (at most 256 bytes each, as the socket
// reads them), which are decoded, plain or encrypted, and replayed one after
// another on the in-memory platform, so the state kept between datagrams
// (modifiers by name, click stamps, previous flags) is fuzzed too. A decoded
// text never holds a zero, and an encrypted text decodes to itself.

#include "../tests/support/FakeInputHost.h"
#include "input/EventDatagram.h"
#include "input/EventReplay.h"
#include "platform/memory/MemoryInputPlatform.h"
#include "platform/memory/MemoryKeyboardLayout.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size)
{
    static EventDatagram const datagram ("DriftLanternK7q");
    static MacKeyCodeWizard const keyNames (std::make_shared<MemoryKeyboardLayout>());

    FakeInputHost host;
    host.setOwnArea (juce::Rectangle<int> (1920, 0, 1920, 1080));
    MemoryInputPlatform platform;
    juce::uint32 now = 0;
    EventReplay replay (host, platform, keyNames, [&] { return now += 250; });

    for (size_t start = 0; start <= size;)
    {
        size_t end = start;

        while (end < size && data[end] != 0xff)
            ++end;

        auto const length = std::min<size_t> (end - start, 256);
        auto const text = datagram.decode (data + start, length);

        if (text.containsChar (0))
            __builtin_trap();

        auto const again = datagram.encrypt (text);

        if (datagram.decode (again.getData(), again.getSize()) != text)
            __builtin_trap();

        replay.replay (text, (length & 1) != 0 ? "WIN" : "MAC");
        start = end + 1;
    }

    replay.releaseHeldInput();
    return 0;
}
