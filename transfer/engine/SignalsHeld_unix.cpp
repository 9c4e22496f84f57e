#include "transfer/engine/SignalsHeld_unix.h"

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

TSignalsHeld::TSignalsHeld() : before_(std::make_unique<Before>())
{
    const sigset_t sent = SentSignals();
    pthread_sigmask(SIG_BLOCK, &sent, &before_->mask);
}

TSignalsHeld::~TSignalsHeld()
{
    pthread_sigmask(SIG_SETMASK, &before_->mask, nullptr);
}
