#include "cli/Interrupt.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

#include "transfer/engine/Link.h"

namespace {

// The signal that asked the run to end; 0 while none has.
std::atomic<int> endingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch a lock-free flag");

constexpr int SignalExitBase = 128;

// How many waits that end at once on a signal are under way.
std::atomic<int> exitingAtOnce{0};

extern "C" void OnInterrupt(int signal)
{
    endingSignal.store(signal);
    TBoardLink::CancelEveryLink();
    if (exitingAtOnce.load() > 0)
        ::_exit(SignalExitBase + signal);
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

void ExitAtOnceOnSignal(bool atOnce)
{
    atOnce ? ++exitingAtOnce : --exitingAtOnce;
}

TExitAtOnceOnSignal::TExitAtOnceOnSignal()
{
    ++exitingAtOnce;
}

TExitAtOnceOnSignal::~TExitAtOnceOnSignal()
{
    --exitingAtOnce;
}

bool Interrupted()
{
    return endingSignal.load() != 0;
}

int InterruptedExitStatus()
{
    return SignalExitBase + endingSignal.load();
}
