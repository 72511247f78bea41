// Feeds arbitrary payloads to the receiver's reading of a file-transfer
// header. Whatever the peer sends, the name the receiver writes under is a
// single component that stays inside the transfer folder.

#include "ipc/ClientFileTransfer.h"
#include "ipc/ControlProtocol.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput (std::uint8_t const* data, size_t size)
{
    static juce::File const folder ("/nonexistent/Corvelline-0/Corvelline");

    auto header = FileTransfer::readHeader (ControlProtocol::readText (data, size));
    auto name = FileTransfer::safeFileName (header.fileName);

    if (name.isNotEmpty())
    {
        if (name.containsChar ('/') || name == "." || name == "..")
            __builtin_trap();

        auto target = FileTransfer::childNamed (folder, name);

        if (! target.isAChildOf (folder) || target.getParentDirectory() != folder)
            __builtin_trap();
    }

    return 0;
}
