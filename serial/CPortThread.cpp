#include "serial/CPortThread.h"

#include <system_error>

TComThread::~TComThread()
{
    if (thread_.joinable())
        Stop();
    ReleaseSignals();
}

void TComThread::Start()
{
    running_.store(true);
    try {
        thread_ = std::thread([this] { Execute(); });
    } catch (const std::system_error& error) {
        running_.store(false);
        throw EComPort(ecOpen, error.code().value());
    }
}

void TComThread::Stop()
{
    SignalStop();
    std::this_thread::yield();
    sync_->WaitForEnd();
    thread_.join();
}

void TComThread::Execute()
{
    for (;;) {
        std::optional<TComEvents> events = WaitForEvents();
        if (!events) {
            StopWatching();
            break;
        }
        if (!events->Empty() && !Deliver(*events))
            break;
    }
    running_.store(false);
    sync_->ThreadEnded();
}

bool TComThread::Deliver(TComEvents events)
{
    switch (syncMethod_) {
    case smThreadSync: {
        // By value: a handler that closes the port releases this thread before
        // the dispatch has returned.
        std::exception_ptr error = sync_->Synchronize([port = &port_, events] { port->DispatchEvents(events); });
        return Survived(error);
    }
    case smWindowSync:
        port_.QueueEvents(*sync_, events);
        return true;
    case smNone:
        try {
            port_.DispatchEvents(events);
            return true;
        } catch (...) {
            return Survived(std::current_exception());
        }
    }
    return false;
}

bool TComThread::Survived(std::exception_ptr error)
{
    if (!error)
        return true;
    // Delivery ends here; the operator learns why once.
    sync_->Report(std::move(error));
    return false;
}
