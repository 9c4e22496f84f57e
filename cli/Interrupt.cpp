#include "cli/Interrupt.h"

#include "cli/Interrupt_p.h"

#include <atomic>
#include <cstdlib>

#include "transfer/engine/Link.h"

namespace {

// The exit status the run was asked to end with; 0 while it was not.
std::atomic<int> endingStatus{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only touch a lock-free flag");

// How many waits that end at once on a signal are under way.
std::atomic<int> exitingAtOnce{0};

} // namespace

void EndRunOnRequest(int exitStatus)
{
    endingStatus.store(exitStatus);
    TBoardLink::CancelEveryLink();
    if (exitingAtOnce.load() > 0)
        std::_Exit(exitStatus);
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
    return endingStatus.load() != 0;
}

int InterruptedExitStatus()
{
    return endingStatus.load();
}
