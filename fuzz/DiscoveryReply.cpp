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

    auto text = datagramText (data, size);

    if (text.length() > maxDatagramSize || text.containsChar (0))
        __builtin_trap();

    if (classifyToClient (text) == ToClient::acceptance)
    {
        auto a = readAcceptance (text);
        auto again = readAcceptance (acceptance (a.machineID, a.port, a.clusterID));

        if (again.machineID != a.machineID || again.port != a.port || again.clusterID != a.clusterID)
            __builtin_trap();
    }

    switch (classifyToServer (text))
    {
        case ToServer::request:
            if (requestCarriesClusterID (text))
                (void) readRequestClusterID (text);
            break;

        case ToServer::cancel:
            (void) readCancelAddress (text);
            break;

        case ToServer::none:
            break;
    }

    return 0;
}
