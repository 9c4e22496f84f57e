#include "transfer/engine/SocketWatch.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

#include "transfer/engine/Link.h"
#include "transfer/engine/SignalsHeld_unix.h"

namespace {

constexpr int EventsPerWake = 256;
constexpr unsigned int HalfWordBits = 32;
// What an epoll event carries: the waiting task's index in the high half and
// its socket in the low half, so that an event is matched without a lookup.
// Every link's cancel carries a value no task's socket has.
constexpr std::uint64_t CancelEvent = ~std::uint64_t{0};

std::uint64_t EventOf(std::size_t taskIndex, int descriptor)
{
    return (std::uint64_t{taskIndex} << HalfWordBits) | static_cast<std::uint32_t>(descriptor);
}

[[noreturn]] void RaiseSystemError(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

struct TSocketWatch::State {
    int events = -1;  // the epoll set
    std::array<epoll_event, EventsPerWake> taken{};
    std::array<Ready, EventsPerWake> ready{};
};

TSocketWatch::TSocketWatch() : state_(std::make_unique<State>())
{
    state_->events = ::epoll_create1(EPOLL_CLOEXEC);
    if (state_->events == -1)
        RaiseSystemError("epoll_create1");
    // Every link's cancel stays readable once written: it wakes every task.
    const int cancel = TBoardLink::EveryLinkCancelDescriptor();
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u64 = CancelEvent;
    if (cancel != -1 && ::epoll_ctl(state_->events, EPOLL_CTL_ADD, cancel, &interest) == -1) {
        ::close(state_->events);
        RaiseSystemError("epoll_ctl");
    }
}

TSocketWatch::~TSocketWatch()
{
    ::close(state_->events);
}

void TSocketWatch::Watch(int descriptor, std::size_t task)
{
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u64 = EventOf(task, descriptor);
    if (::epoll_ctl(state_->events, EPOLL_CTL_MOD, descriptor, &interest) == -1 &&
        (errno != ENOENT || ::epoll_ctl(state_->events, EPOLL_CTL_ADD, descriptor, &interest) == -1))
        RaiseSystemError("epoll_ctl");
}

void TSocketWatch::Rest(int descriptor, std::size_t task)
{
    epoll_event rest{};
    rest.data.u64 = EventOf(task, descriptor);
    ::epoll_ctl(state_->events, EPOLL_CTL_MOD, descriptor, &rest);
}

void TSocketWatch::Forget(int descriptor)
{
    ::epoll_ctl(state_->events, EPOLL_CTL_DEL, descriptor, nullptr);
}

std::span<const TSocketWatch::Ready> TSocketWatch::Wait(int timeoutMs, const TSignalsHeld& held)
{
    State& watch = *state_;
    const int count = ::epoll_pwait(watch.events, watch.taken.data(), EventsPerWake, timeoutMs, &held.Taken().mask);
    if (count == -1 && errno != EINTR)
        RaiseSystemError("epoll_pwait");
    const auto found = static_cast<std::size_t>(std::max(count, 0));
    for (std::size_t k = 0; k < found; ++k) {
        const std::uint64_t event = watch.taken[k].data.u64;
        watch.ready[k] = event == CancelEvent ? Ready{EveryTask, -1}
                                              : Ready{static_cast<std::size_t>(event >> HalfWordBits),
                                                      static_cast<int>(static_cast<std::uint32_t>(event))};
    }
    return {watch.ready.data(), found};
}
