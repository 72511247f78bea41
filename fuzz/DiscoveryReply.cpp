// Feeds arbitrary datagrams to every reader of the discovery texts: the
// client's reading of a reply (acceptance, wait) and the server's reading of a
// request or cancel. A datagram text never holds more than 256 characters nor
// a zero, and an acceptance written from the numbers read is read back alike.

#include "ipc/DiscoveryProtocol.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size)
{
    using namespace DiscoveryProtocol;

    auto text = readDatagram (data, (int) size);

    if (text.length() > maxDatagramSize || text.containsChar (0))
        __builtin_trap();

    if (isAcceptance (text))
    {
        auto a = readAcceptance (text);
        auto again = readAcceptance (acceptance (a.machineID, a.machinePort, a.clusterID));

        if (again.machineID != a.machineID || again.machinePort != a.machinePort || again.clusterID != a.clusterID)
            __builtin_trap();
    }

    (void) isWait (text);

    if (isRequest (text) && requestHasClusterID (text))
        (void) readRequestClusterID (text);

    if (isCancel (text))
        (void) readCancelAddress (text);

    return 0;
}
