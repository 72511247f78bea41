#include "platform/BrokenPipeSignal.h"

#include <csignal>

namespace BrokenPipeSignal
{
void ignore()
{
    struct sigaction current {};

    if (sigaction (SIGPIPE, nullptr, &current) != 0)
        return;

    if (current.sa_handler != SIG_DFL)
        return;

    struct sigaction ignoring {};
    ignoring.sa_handler = SIG_IGN;
    sigemptyset (&ignoring.sa_mask);
    sigaction (SIGPIPE, &ignoring, nullptr);
}
} // namespace BrokenPipeSignal
