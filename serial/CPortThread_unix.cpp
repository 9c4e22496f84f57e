#include "serial/CPortThread.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace {

// The output queue, line errors, breaks and modem lines have no readiness to
// wait for. While bytes wait to go out the thread looks at the queue this
// often, so that evTxEmpty follows the last byte closely.
constexpr int OutputPollMs = 10;
// And it goes on looking this long after the queue ran empty: the next frame
// of a transfer comes soon, and its first write then wakes nobody.
constexpr auto OutputLinger = std::chrono::milliseconds(250);
// While a handler of line errors, breaks or modem lines is bound (and the
// device offers them) the thread looks at them this often; nothing else makes
// an idle port wake its thread.
constexpr int StatusPollMs = 250;
constexpr int NoTimeLimit = -1;

constexpr TComEvents CounterEvents = {evError, evBreak};
constexpr TComEvents ModemLineEvents = {evCTS, evDSR, evRLSD, evRing};

bool WatchesAny(TComEvents events, TComEvents wanted)
{
    return (events.Bits() & wanted.Bits()) != 0;
}

// The wait set holds the device and the two signals.
constexpr int WaitSetSize = 3;

// Closes a descriptor that may never have been opened.
void CloseDescriptor(int& descriptor)
{
    if (descriptor != -1)
        ::close(descriptor);
    descriptor = -1;
}

// Wakes the thread through an event descriptor.
void Signal(int descriptor)
{
    const std::uint64_t one = 1;
    while (::write(descriptor, &one, sizeof one) == -1 && errno == EINTR) {
    }
}

void Drain(int descriptor)
{
    std::uint64_t count = 0;
    while (::read(descriptor, &count, sizeof count) == -1 && errno == EINTR) {
    }
}

// The modem lines as the thread sees them; a failed read tells it nothing.
std::optional<TComSignals> TryModemLines(int handle)
{
    try {
        return ReadModemLines(handle);
    } catch (const EComPort&) {
        return std::nullopt;
    }
}

bool Changed(const TComSignals& before, const TComSignals& now, TComSignal line)
{
    return before.Contains(line) != now.Contains(line);
}

} // namespace

TComThread::TComThread(TCustomComPort& port, TComDevice& device, TComEvents events, TSyncMethod syncMethod,
                       std::shared_ptr<TComSync> sync, std::int32_t rx80Mark)
    : port_(port), handle_(device.Handle()), events_(events), syncMethod_(syncMethod), sync_(std::move(sync)),
      rx80Mark_(rx80Mark)
{
    if (WatchesAny(events_, CounterEvents))
        counters_ = ReadLineCounters(handle_);
    if (WatchesAny(events_, ModemLineEvents))
        modemLines_ = TryModemLines(handle_);
    waitSet_ = ::epoll_create1(EPOLL_CLOEXEC);
    stopSignal_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    writtenSignal_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    bool ready = waitSet_ != -1 && stopSignal_ != -1 && writtenSignal_ != -1;
    // Received bytes wake the thread once per arrival (edge-triggered): bytes
    // a handler leaves unread are reported again only with the next ones. Bytes
    // already waiting are reported by the first wait.
    using Interest = std::pair<int, std::uint32_t>;
    const std::array<Interest, WaitSetSize> interests = {
        Interest{handle_, EPOLLIN | EPOLLET}, Interest{stopSignal_, EPOLLIN}, Interest{writtenSignal_, EPOLLIN}};
    for (auto [descriptor, flags] : interests) {
        epoll_event interest{};
        interest.events = flags;
        interest.data.fd = descriptor;
        ready = ready && ::epoll_ctl(waitSet_, EPOLL_CTL_ADD, descriptor, &interest) == 0;
    }
    if (!ready) {
        int error = errno;
        ReleaseSignals();
        throw EComPort(ecOpen, error);
    }
}

void TComThread::ReleaseSignals()
{
    CloseDescriptor(writtenSignal_);
    CloseDescriptor(stopSignal_);
    CloseDescriptor(waitSet_);
}

void TComThread::SignalStop()
{
    Signal(stopSignal_);
}

void TComThread::StopWatching()
{
    PurgeQueues(handle_);
}

void TComThread::NotifyWritten()
{
    // Only a write that finds the thread not looking at the output queue
    // wakes it. While it looks (every OutputPollMs, and a while after the
    // queue ran empty) waking it for a one-byte write would cost a system
    // call and a thread switch and tell it nothing new.
    // A plain read first: the store is a locked write, and a frame goes out a
    // byte a write while the flag is mostly set already.
    if (!txPending_.load(std::memory_order_relaxed))
        txPending_.store(true);
    // After the store: a thread that stops looking reads the flag after it
    // stops, so one of the two sees the other.
    if (!watchingOutput_.load() && !watchingOutput_.exchange(true))
        Signal(writtenSignal_);
}

void TComThread::SetRx80Mark(std::int32_t mark)
{
    rx80Mark_.store(mark);
}

std::optional<TComEvents> TComThread::WaitForEvents()
{
    std::array<epoll_event, WaitSetSize> ready{};
    int count = ::epoll_wait(waitSet_, ready.data(), WaitSetSize, PollInterval());
    if (count == -1)
        return errno == EINTR ? std::optional<TComEvents>(TComEvents{}) : std::nullopt;

    bool received = false;
    for (int i = 0; i < count; ++i) {
        const epoll_event& entry = ready[static_cast<std::size_t>(i)];
        if (entry.data.fd == stopSignal_)
            return std::nullopt;
        if (entry.data.fd == writtenSignal_) {
            Drain(writtenSignal_);
        } else {
            // A device that hung up (a removed adapter, a closed pseudo-terminal
            // master) can no longer be waited on.
            if ((entry.events & (EPOLLHUP | EPOLLERR)) != 0)
                return std::nullopt;
            received = (entry.events & EPOLLIN) != 0;
        }
    }
    TComEvents events;
    CollectInput(events, received);
    CollectOutput(events);
    CollectLineErrors(events);
    CollectModemLines(events);
    return TComEvents::FromBits(events.Bits() & events_.Bits());
}

void TComThread::CollectInput(TComEvents& events, bool received)
{
    if (received)
        events.Include(evRxChar);
    std::optional<std::int32_t> waiting = InputQueueCount(handle_);
    if (!waiting)
        return;
    bool above80 = *waiting >= rx80Mark_.load();
    if (above80 && !above80_)
        events.Include(evRx80Full);
    above80_ = above80;
}

void TComThread::CollectOutput(TComEvents& events)
{
    const auto now = std::chrono::steady_clock::now();
    if (txPending_.exchange(false)) {
        outputSeen_ = now;
        std::optional<std::int32_t> queued = OutputQueueCount(handle_);
        if (queued && *queued > 0)
            txPending_.store(true);
        else
            events.Include(evTxEmpty);
        return;
    }
    if (watchingOutput_.load() && now - outputSeen_ >= OutputLinger) {
        watchingOutput_.store(false);
        // A write that came meanwhile found the thread still looking.
        if (txPending_.load())
            watchingOutput_.store(true);
    }
}

void TComThread::CollectLineErrors(TComEvents& events)
{
    if (!counters_)
        return;
    std::optional<TComCounters> now = ReadLineCounters(handle_);
    if (!now)
        return;
    if (now->frame != counters_->frame || now->parity != counters_->parity || now->overrun != counters_->overrun
        || now->rxOverflow != counters_->rxOverflow)
        events.Include(evError);
    if (now->breaks != counters_->breaks)
        events.Include(evBreak);
    counters_ = now;
}

void TComThread::CollectModemLines(TComEvents& events)
{
    if (!modemLines_)
        return;
    std::optional<TComSignals> now = TryModemLines(handle_);
    if (!now)
        return;
    if (Changed(*modemLines_, *now, csCTS))
        events.Include(evCTS);
    if (Changed(*modemLines_, *now, csDSR))
        events.Include(evDSR);
    if (Changed(*modemLines_, *now, csRLSD))
        events.Include(evRLSD);
    if (now->Contains(csRing) && !modemLines_->Contains(csRing))
        events.Include(evRing);
    modemLines_ = now;
}

int TComThread::PollInterval() const
{
    if (watchingOutput_.load())
        return OutputPollMs;
    if (counters_ || modemLines_)
        return StatusPollMs;
    return NoTimeLimit;
}
