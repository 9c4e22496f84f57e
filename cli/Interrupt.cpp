#include "cli/Interrupt.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler may only touch a lock-free flag");

extern "C" void OnInterrupt(int)
{
    interrupted.store(true);
}

} // namespace

void InstallInterruptHandler()
{
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

bool Interrupted()
{
    return interrupted.load();
}

void EndIfInterrupted()
{
    if (Interrupted())
        throw ESessionEnded(ESessionEnded::Reason::Interrupted, "interrupted");
}
