#include "cli/Interrupt.h"

#include "cli/Interrupt_p.h"

#include <csignal>
#include <initializer_list>

namespace {

extern "C" void OnInterrupt(int signal)
{
    EndRunOnRequest(SignalExitBase + signal);
}

} // namespace

void InstallInterruptHandler()
{
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}
