#include "serial/CPortThread.h"

#include <windows.h>

#include <array>
#include <utility>

namespace {

// The line events of the communications interface.
constexpr std::array<std::pair<TComEvent, DWORD>, evRx80Full + 1> EventMasks = {{
    {evRxChar, EV_RXCHAR},
    {evTxEmpty, EV_TXEMPTY},
    {evRxFlag, EV_RXFLAG},
    {evRing, EV_RING},
    {evBreak, EV_BREAK},
    {evCTS, EV_CTS},
    {evDSR, EV_DSR},
    {evError, EV_ERR},
    {evRLSD, EV_RLSD},
    {evRx80Full, EV_RX80FULL},
}};

// The device reports nothing while its mask is empty.
constexpr DWORD NoEvents = 0;

DWORD MaskOf(TComEvents events)
{
    DWORD mask = NoEvents;
    for (const auto& [event, bit] : EventMasks) {
        if (events.Contains(event))
            mask |= bit;
    }
    return mask;
}

TComEvents EventsOf(DWORD mask)
{
    TComEvents events;
    for (const auto& [event, bit] : EventMasks) {
        if ((mask & bit) != 0)
            events.Include(event);
    }
    return events;
}

// A manual-reset event, not signalled.
HANDLE NewSignal()
{
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void CloseSignal(void*& signal)
{
    if (signal != nullptr)
        ::CloseHandle(signal);
    signal = nullptr;
}

// The completion of the line-event wait, second of the signals waited for.
constexpr DWORD WaitDoneWoke = WAIT_OBJECT_0 + 1;

} // namespace

// The device marks 80 % of the input queue that SetupComm asked for itself:
// the mark needs no passing on.
TComThread::TComThread(TCustomComPort& port, TComDevice& device, TComEvents events, TSyncMethod syncMethod,
                       std::shared_ptr<TComSync> sync, std::int32_t)
    : port_(port), handle_(device.Handle()), events_(events), syncMethod_(syncMethod), sync_(std::move(sync)),
      device_(device)
{
    stopSignal_ = NewSignal();
    waitDone_ = NewSignal();
    if (stopSignal_ == nullptr || waitDone_ == nullptr || !::SetCommMask(handle_, MaskOf(events_))) {
        const DWORD error = ::GetLastError();
        ReleaseSignals();
        throw EComPort(ecOpen, static_cast<std::int32_t>(error));
    }
}

void TComThread::ReleaseSignals()
{
    CloseSignal(waitDone_);
    CloseSignal(stopSignal_);
}

void TComThread::SignalStop()
{
    ::SetEvent(stopSignal_);
}

void TComThread::StopWatching()
{
    ::SetCommMask(handle_, NoEvents);
    PurgeQueues(handle_);
}

// The device raises EV_TXEMPTY itself once its output queue has run empty.
void TComThread::NotifyWritten() {}

void TComThread::SetRx80Mark(std::int32_t) {}

std::optional<TComEvents> TComThread::WaitForEvents()
{
    if (firstWait_) {
        firstWait_ = false;
        if (device_.QueuedInput().value_or(0) > 0)
            return TComEvents::FromBits(TComEvents{evRxChar}.Bits() & events_.Bits());
    }
    OVERLAPPED request{};
    request.hEvent = waitDone_;
    DWORD mask = NoEvents;
    // A wait that cannot start (a removed adapter) would never complete.
    if (!::WaitCommEvent(handle_, &mask, &request) && ::GetLastError() != ERROR_IO_PENDING)
        return std::nullopt;
    const std::array<HANDLE, 2> wakers = {stopSignal_, waitDone_};
    const DWORD woke = ::WaitForMultipleObjects(wakers.size(), wakers.data(), FALSE, INFINITE);
    DWORD unused = 0;
    if (woke != WaitDoneWoke) {
        // The request writes `mask` and `request` until it ends: it must end
        // before they go.
        ::CancelIoEx(handle_, &request);
        ::GetOverlappedResult(handle_, &request, &unused, TRUE);
        return std::nullopt;
    }
    if (!::GetOverlappedResult(handle_, &request, &unused, FALSE)) {
        // A purge or a new mask ends a wait early; the device is still there.
        if (::GetLastError() == ERROR_OPERATION_ABORTED)
            return TComEvents{};
        return std::nullopt;
    }
    return TComEvents::FromBits(EventsOf(mask).Bits() & events_.Bits());
}
