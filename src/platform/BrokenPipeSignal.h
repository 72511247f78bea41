#pragma once

/** Writing to a TCP connection whose peer has gone raises SIGPIPE, which ends
    the process unless it is handled. JUCE's sockets write without MSG_NOSIGNAL,
    so a program that writes to peers over the network must not die of it: the
    failed write is reported by its result instead. */
namespace BrokenPipeSignal
{
    /** Ignores SIGPIPE unless the process already installed a handler of its own. */
    void ignore();
}
