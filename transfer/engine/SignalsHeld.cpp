#include "transfer/engine/SignalsHeld.h"

#include <pthread.h>

#include <initializer_list>

namespace {

// Every signal but those a thread's own fault raises, which it must take
// where the fault is.
sigset_t SentSignals()
{
    sigset_t sent;
    sigfillset(&sent);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
        sigdelset(&sent, fault);
    return sent;
}

} // namespace

TSignalsHeld::TSignalsHeld()
{
    const sigset_t sent = SentSignals();
    pthread_sigmask(SIG_BLOCK, &sent, &before_);
}

TSignalsHeld::~TSignalsHeld()
{
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}
