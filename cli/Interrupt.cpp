#include "cli/Interrupt.h"

#include <atomic>
#include <csignal>

namespace {

// The signal that asked the run to end; 0 while none has.
std::atomic<int> endingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch a lock-free flag");

constexpr int SignalExitBase = 128;

extern "C" void OnInterrupt(int signal)
{
    endingSignal.store(signal);
}

} // namespace

void InstallInterruptHandler()
{
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

bool Interrupted()
{
    return endingSignal.load() != 0;
}

int InterruptedExitStatus()
{
    return SignalExitBase + endingSignal.load();
}

void EndIfInterrupted()
{
    if (Interrupted())
        throw ESessionEnded(ESessionEnded::Reason::Interrupted, "interrupted");
}
