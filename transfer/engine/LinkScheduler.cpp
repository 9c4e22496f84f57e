#include "transfer/engine/LinkScheduler.h"

#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>

#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <system_error>

#include "transfer/engine/SignalsHeld.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define LINK_SCHEDULER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define LINK_SCHEDULER_TSAN 1
#endif

namespace context = boost::context;

namespace {

// A task's stack: mapped, not committed; only the pages a task touches cost
// memory. Below it a page without access, so that an overflow faults.
constexpr std::size_t TaskStackSize = std::size_t{1} << 20;
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

// Thrown inside a task that its scheduler ends before the task has: it
// unwinds the task's stack, so that its locks, sockets and files are let go.
// No std::exception: the task's own handlers let it pass.
struct TTaskEnded {};

} // namespace

// A stack as the sanitizers know it: where it lies, and what they keep of it
// while it is switched away from.
struct TLinkScheduler::Stack {
    const void* bottom = nullptr;
    std::size_t size = 0;
    void* fakeStack = nullptr;    // the address sanitizer's
    void* threadFiber = nullptr;  // the thread sanitizer's
};

struct TLinkScheduler::Task {
    std::function<void()> body;
    context::fiber fiber;  // the task, while it waits or has not begun
    context::fiber back;   // the scheduler, while the task runs
    Stack stack;
    std::exception_ptr failure;  // what left the task, if anything
    bool finished = false;
    bool ending = false;  // its scheduler goes: the task unwinds at its wait
    bool waiting = false;
    bool readable = false;
    int descriptor = -1;  // the socket awaited; -1 for a sleep
    int armed = -1;       // the socket that wakes the task, kept between waits
    std::size_t index = 0;  // in tasks_
    Clock::time_point due;  // when the present wait ends at the latest
    // The earliest due time queued for the task, max() when none is known.
    Clock::time_point queued = Clock::time_point::max();
};

namespace {

// The library's guarded stacks, with where each lies kept for the sanitizers:
// all of it, its guard page below included, so that they know every frame
// on it for the task's.
class TRecordedStack {
public:
    explicit TRecordedStack(TLinkScheduler::Stack& stack) : stack_(stack) {}
    context::stack_context allocate()
    {
        context::stack_context made = stacks_.allocate();
        stack_.bottom = static_cast<const char*>(made.sp) - made.size;
        stack_.size = made.size;
        return made;
    }
    void deallocate(context::stack_context& made) noexcept { stacks_.deallocate(made); }

private:
    context::protected_fixedsize_stack stacks_{TaskStackSize};
    TLinkScheduler::Stack& stack_;
};

// The sanitizers learn of a switch right before it: `from` is kept unless the
// stack is left for good, `to` is the stack resumed.
void BeforeSwitch([[maybe_unused]] TLinkScheduler::Stack* from, [[maybe_unused]] const TLinkScheduler::Stack& to)
{
#ifdef LINK_SCHEDULER_ASAN
    __sanitizer_start_switch_fiber(from != nullptr ? &from->fakeStack : nullptr, to.bottom, to.size);
#endif
#ifdef LINK_SCHEDULER_TSAN
    __tsan_switch_to_fiber(to.threadFiber, 0);
#endif
}

// ... and right after it, on the stack resumed, which learns where the stack
// it came from lies when `came` is given.
void AfterSwitch([[maybe_unused]] TLinkScheduler::Stack& resumed, [[maybe_unused]] TLinkScheduler::Stack* came)
{
#ifdef LINK_SCHEDULER_ASAN
    __sanitizer_finish_switch_fiber(resumed.fakeStack, came != nullptr ? &came->bottom : nullptr,
                                    came != nullptr ? &came->size : nullptr);
#endif
}

} // namespace

TLinkScheduler::TLinkScheduler() : main_(std::make_unique<Stack>()), events_(::epoll_create1(EPOLL_CLOEXEC))
{
    if (events_ == -1)
        RaiseSystemError("epoll_create1");
    // Every link's cancel stays readable once written: it wakes every task.
    const int cancel = TBoardLink::EveryLinkCancelDescriptor();
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u64 = CancelEvent;
    if (cancel != -1 && ::epoll_ctl(events_, EPOLL_CTL_ADD, cancel, &interest) == -1) {
        ::close(events_);
        RaiseSystemError("epoll_ctl");
    }
}

TLinkScheduler::~TLinkScheduler()
{
    // A task that has not ended unwinds now, on its own stack: what it holds
    // is let go as if it had ended.
    for (const auto& task : tasks_) {
        if (!task->finished && task->fiber) {
            task->ending = true;
            Resume(*task);
        }
#ifdef LINK_SCHEDULER_TSAN
        if (task->stack.threadFiber != nullptr)
            __tsan_destroy_fiber(task->stack.threadFiber);
#endif
    }
    ::close(events_);
}

void TLinkScheduler::Spawn(std::function<void()> body)
{
    auto task = std::make_unique<Task>();
    Task& made = *task;
    made.body = std::move(body);
    made.fiber = context::fiber(std::allocator_arg, TRecordedStack(made.stack),
                                [this, &made](context::fiber&& back) { return Enter(made, std::move(back)); });
#ifdef LINK_SCHEDULER_TSAN
    made.stack.threadFiber = __tsan_create_fiber(0);
#endif
    made.index = tasks_.size();
    runnable_.push_back(&made);
    tasks_.push_back(std::move(task));
    ++unfinished_;
}

context::fiber TLinkScheduler::Enter(Task& task, context::fiber&& back)
{
    task.back = std::move(back);
    AfterSwitch(task.stack, main_.get());
    try {
        if (!task.ending)
            task.body();
    } catch (const TTaskEnded&) {
        // Unwound by its scheduler's end.
    } catch (...) {
        // One board's fault is that board's: the other tasks go on.
        task.failure = std::current_exception();
    }
    task.finished = true;
    // The stack is left for good: nothing of it is kept.
    BeforeSwitch(nullptr, *main_);
    return std::move(task.back);
}

void TLinkScheduler::Run()
{
#ifdef LINK_SCHEDULER_TSAN
    main_->threadFiber = __tsan_get_current_fiber();
#endif
    const TSignalsHeld held;
    while (unfinished_ > 0) {
        while (!runnable_.empty()) {
            Task* task = runnable_.back();
            runnable_.pop_back();
            Resume(*task);
        }
        if (unfinished_ > 0)
            WaitForEvents(held.Before());
    }
}

std::exception_ptr TLinkScheduler::Failure(std::size_t task) const
{
    return tasks_.at(task)->failure;
}

void TLinkScheduler::Resume(Task& task)
{
    current_ = &task;
    TLinkWaiter* const outside = TLinkWaiter::OfThisThread();
    SetOfThisThread(this);
    BeforeSwitch(main_.get(), task.stack);
    task.fiber = std::move(task.fiber).resume();
    AfterSwitch(*main_, nullptr);
    SetOfThisThread(outside);
    current_ = nullptr;
    if (task.finished) {
        --unfinished_;
        task.body = nullptr;
    }
}

void TLinkScheduler::Suspend(Task& task)
{
    // The exception being handled, or one in flight, belongs to the thread:
    // another task's would take its place while this one waits.
    if (std::uncaught_exceptions() != 0 || std::current_exception()) {
        std::fputs("orvenda: a task waited with an exception under way\n", stderr);
        std::abort();
    }
    BeforeSwitch(&task.stack, *main_);
    task.back = std::move(task.back).resume();
    AfterSwitch(task.stack, main_.get());
    if (task.ending)
        throw TTaskEnded{};
}

bool TLinkScheduler::WaitReadable(int descriptor, std::span<const int> /*wakeOn*/, int timeoutMs)
{
    Task& task = *current_;
    // The socket stays in the set between waits, so that a wait for an
    // answer costs no system call. Level-triggered: whatever the socket holds
    // when the wait begins wakes the task at once.
    if (task.armed != descriptor) {
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.u64 = EventOf(task.index, descriptor);
        if (::epoll_ctl(events_, EPOLL_CTL_MOD, descriptor, &interest) == -1 &&
            (errno != ENOENT || ::epoll_ctl(events_, EPOLL_CTL_ADD, descriptor, &interest) == -1))
            RaiseSystemError("epoll_ctl");
        task.armed = descriptor;
    }
    task.descriptor = descriptor;
    task.readable = false;
    WaitUntil(task, Clock::now() + std::chrono::milliseconds(timeoutMs));
    return task.readable;
}

void TLinkScheduler::Sleep(std::chrono::milliseconds duration)
{
    Task& task = *current_;
    task.descriptor = -1;
    WaitUntil(task, Clock::now() + duration);
}

void TLinkScheduler::Forget(int descriptor)
{
    Task& task = *current_;
    if (task.armed == descriptor) {
        ::epoll_ctl(events_, EPOLL_CTL_DEL, descriptor, nullptr);
        task.armed = -1;
    }
}

void TLinkScheduler::WaitUntil(Task& task, Clock::time_point due)
{
    task.waiting = true;
    task.due = due;
    // A due time already queued at or before this one comes up first and
    // queues this one then: most waits end with an answer long before.
    if (task.queued > due) {
        due_.push({due, &task});
        task.queued = due;
    }
    Suspend(task);
}

void TLinkScheduler::Wake(Task& task, bool readable)
{
    if (!task.waiting)
        return;
    task.waiting = false;
    task.readable = readable;
    runnable_.push_back(&task);
}

void TLinkScheduler::Readable(Task& task, int descriptor)
{
    if (task.waiting && task.descriptor == descriptor && task.armed == descriptor) {
        Wake(task, true);
        return;
    }
    // Nobody reads the socket before the task waits for it again: it would
    // report at every round until then.
    epoll_event rest{};
    rest.data.u64 = EventOf(task.index, descriptor);
    ::epoll_ctl(events_, EPOLL_CTL_MOD, descriptor, &rest);
    if (task.armed == descriptor)
        task.armed = -1;
}

void TLinkScheduler::TakeEarliest(Clock::time_point now)
{
    const Due due = due_.top();
    due_.pop();
    Task& task = *due.task;
    if (due.when == task.queued)
        task.queued = Clock::time_point::max();
    if (!task.waiting)
        return;
    if (task.due <= now) {
        // A socket closed and opened again under the same number has left
        // the set: the next wait puts it back.
        task.armed = -1;
        Wake(task, false);
    } else if (task.queued > task.due) {
        due_.push({task.due, &task});
        task.queued = task.due;
    }
}

int TLinkScheduler::MillisecondsToEarliest()
{
    // Due times of tasks that wait no more are dropped as they come up.
    while (!due_.empty() && !due_.top().task->waiting)
        TakeEarliest(Clock::now());
    if (due_.empty())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due_.top().when - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

void TLinkScheduler::WaitForEvents(const sigset_t& takingSignals)
{
    std::array<epoll_event, EventsPerWake> ready{};
    const int count =
        ::epoll_pwait(events_, ready.data(), EventsPerWake, MillisecondsToEarliest(), &takingSignals);
    if (count == -1 && errno != EINTR)
        RaiseSystemError("epoll_pwait");
    for (int k = 0; k < count; ++k) {
        const std::uint64_t event = ready[static_cast<std::size_t>(k)].data.u64;
        if (event == CancelEvent) {
            for (const auto& task : tasks_)
                Wake(*task, false);
            continue;
        }
        const std::size_t index = event >> HalfWordBits;
        const auto descriptor = static_cast<int>(static_cast<std::uint32_t>(event));
        if (index < tasks_.size())
            Readable(*tasks_[index], descriptor);
    }
    const Clock::time_point now = Clock::now();
    while (!due_.empty() && due_.top().when <= now)
        TakeEarliest(now);
}
