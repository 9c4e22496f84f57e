#include "transfer/LinkScheduler.h"

#include <sys/epoll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <system_error>

// The switch below keeps no shadow stack: a build for one (-fcf-protection)
// uses the C library's contexts, which do.
#if defined(__x86_64__) && !(defined(__CET__) && (__CET__ & 2))
#define LINK_SCHEDULER_OWN_SWITCH 1
#else
#include <ucontext.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define LINK_SCHEDULER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define LINK_SCHEDULER_TSAN 1
#endif

namespace {

// A task's stack: reserved, not committed; only the pages a task touches
// cost memory. The lowest page is left unmapped, so that an overflow faults.
constexpr std::size_t TaskStackSize = std::size_t{1} << 20;
constexpr std::size_t GuardSize = 4096;
constexpr int EventsPerWake = 256;
constexpr unsigned int HalfWordBits = 32;
// What the calling convention asks of a stack at a call.
constexpr std::uintptr_t StackAlignment = 16;
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

#ifdef LINK_SCHEDULER_OWN_SWITCH
// A switch pushes the registers the calling convention keeps, and the
// floating-point control words, onto the stack it leaves and pops them from
// the stack it resumes: a few stores where the C library's contexts also
// save every floating-point register and the signal mask, two system calls a
// switch. A new stack starts in StartTask, which calls r12(r13).
extern "C" void OrvendaSwitchStacks(void** save, void* resume);
extern "C" void OrvendaStartTask();
asm(R"(
    .text
    .globl OrvendaSwitchStacks
    .hidden OrvendaSwitchStacks
    .type OrvendaSwitchStacks, @function
OrvendaSwitchStacks:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size OrvendaSwitchStacks, .-OrvendaSwitchStacks

    .globl OrvendaStartTask
    .hidden OrvendaStartTask
    .type OrvendaStartTask, @function
OrvendaStartTask:
    .cfi_startproc
    .cfi_undefined rip
    movq %r13, %rdi
    callq *%r12
    ud2
    .cfi_endproc
    .size OrvendaStartTask, .-OrvendaStartTask
)");

namespace {

// What a switch resumes: the stack that holds the rest.
struct Registers {
    void* stack = nullptr;
};

// A new stack as a switch leaves it, so that the first switch to it enters
// `entry(argument)` with the stack aligned as a call leaves it.
void Prepare(Registers& registers, void* low, std::size_t size, void (*entry)(void*), void* argument)
{
    struct Saved {
        std::uint32_t mxcsr;
        std::uint16_t x87Control;
        std::uint16_t unused;
        void* r15;
        void* r14;
        void* r13;
        void* r12;
        void* rbx;
        void* rbp;
        void* resume;
    };
    static_assert(sizeof(Saved) % StackAlignment == 0);
    auto top = reinterpret_cast<std::uintptr_t>(low) + size;
    top -= top % StackAlignment;
    auto* saved = reinterpret_cast<Saved*>(top - sizeof(Saved));
    *saved = {};
    // The task computes as the thread does.
    asm volatile("stmxcsr %0" : "=m"(saved->mxcsr));
    asm volatile("fnstcw %0" : "=m"(saved->x87Control));
    saved->r12 = reinterpret_cast<void*>(entry);
    saved->r13 = argument;
    saved->resume = reinterpret_cast<void*>(&OrvendaStartTask);
    registers.stack = saved;
}

void Jump(Registers& from, const Registers& to)
{
    OrvendaSwitchStacks(&from.stack, to.stack);
}

} // namespace
#else
namespace {

struct Registers {
    ucontext_t context{};
};

// makecontext passes int arguments only: each pointer goes in two halves.
void EnterHalves(unsigned int entryHigh, unsigned int entryLow, unsigned int high, unsigned int low)
{
    const auto entry = reinterpret_cast<void (*)(void*)>((std::uintptr_t{entryHigh} << HalfWordBits) | entryLow);
    entry(reinterpret_cast<void*>((std::uintptr_t{high} << HalfWordBits) | low));
}

void Prepare(Registers& registers, void* low, std::size_t size, void (*entry)(void*), void* argument)
{
    if (::getcontext(&registers.context) == -1)
        throw std::system_error(errno, std::generic_category(), "getcontext");
    registers.context.uc_stack.ss_sp = low;
    registers.context.uc_stack.ss_size = size;
    registers.context.uc_link = nullptr;
    const auto code = reinterpret_cast<std::uintptr_t>(entry);
    const auto data = reinterpret_cast<std::uintptr_t>(argument);
    ::makecontext(&registers.context, reinterpret_cast<void (*)()>(&EnterHalves), 4,
                  static_cast<unsigned int>(code >> HalfWordBits), static_cast<unsigned int>(code),
                  static_cast<unsigned int>(data >> HalfWordBits), static_cast<unsigned int>(data));
}

// Not swapcontext: the address sanitizer warns on its first use.
void Jump(Registers& from, const Registers& to)
{
    volatile bool resumed = false;
    ::getcontext(&from.context);
    if (!resumed) {
        resumed = true;
        ::setcontext(&to.context);
    }
}

} // namespace
#endif

// Where a stack switch resumes, and what the sanitizers need to follow it.
struct TLinkScheduler::Context {
    Registers registers;
    const void* stackBottom = nullptr;
    std::size_t stackSize = 0;
    void* fakeStack = nullptr;  // the address sanitizer's, while switched away
    void* threadFiber = nullptr;  // the thread sanitizer's
};

struct TLinkScheduler::Task {
    std::function<void()> body;
    void* stack = nullptr;
    Context context;
    bool finished = false;
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

// Inlined into its callers: a call of its own would enter on one stack's
// record and leave on another's.
[[gnu::always_inline]] inline void BeforeSwitch([[maybe_unused]] void** fakeStack, [[maybe_unused]] const void* bottom,
                  [[maybe_unused]] std::size_t size, [[maybe_unused]] void* threadFiber)
{
#ifdef LINK_SCHEDULER_ASAN
    __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#endif
#ifdef LINK_SCHEDULER_TSAN
    __tsan_switch_to_fiber(threadFiber, 0);
#endif
}

void AfterSwitch([[maybe_unused]] void* fakeStack, [[maybe_unused]] const void** bottom,
                 [[maybe_unused]] std::size_t* size)
{
#ifdef LINK_SCHEDULER_ASAN
    __sanitizer_finish_switch_fiber(fakeStack, bottom, size);
#endif
}

} // namespace

TLinkScheduler::TLinkScheduler() : main_(std::make_unique<Context>()), events_(::epoll_create1(EPOLL_CLOEXEC))
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
    for (const auto& task : tasks_) {
        if (task->stack != nullptr)
            ::munmap(task->stack, TaskStackSize);
#ifdef LINK_SCHEDULER_TSAN
        if (task->context.threadFiber != nullptr)
            __tsan_destroy_fiber(task->context.threadFiber);
#endif
    }
    ::close(events_);
}

void TLinkScheduler::Spawn(std::function<void()> body)
{
    auto task = std::make_unique<Task>();
    task->body = std::move(body);
    task->stack = ::mmap(nullptr, TaskStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                         -1, 0);
    if (task->stack == MAP_FAILED) {
        task->stack = nullptr;
        RaiseSystemError("mmap");
    }
    ::mprotect(task->stack, GuardSize, PROT_NONE);
    Context& context = task->context;
    context.stackBottom = task->stack;
    context.stackSize = TaskStackSize;
    Prepare(context.registers, static_cast<char*>(task->stack) + GuardSize, TaskStackSize - GuardSize,
            &TLinkScheduler::Enter, this);
#ifdef LINK_SCHEDULER_TSAN
    context.threadFiber = __tsan_create_fiber(0);
#endif
    task->index = tasks_.size();
    runnable_.push_back(task.get());
    tasks_.push_back(std::move(task));
    ++unfinished_;
}

void TLinkScheduler::Enter(void* self)
{
    auto* scheduler = static_cast<TLinkScheduler*>(self);
    Task& task = *scheduler->current_;
    AfterSwitch(nullptr, &scheduler->main_->stackBottom, &scheduler->main_->stackSize);
    try {
        task.body();
    } catch (...) {
        std::terminate();
    }
    task.finished = true;
    // The task's stack is left for good: nothing of it is kept.
    SwitchTo(task.context, *scheduler->main_, true);
}

void TLinkScheduler::Run()
{
#ifdef LINK_SCHEDULER_TSAN
    main_->threadFiber = __tsan_get_current_fiber();
#endif
    while (unfinished_ > 0) {
        while (!runnable_.empty()) {
            Task* task = runnable_.back();
            runnable_.pop_back();
            Resume(*task);
        }
        if (unfinished_ > 0)
            WaitForEvents();
    }
}

void TLinkScheduler::Resume(Task& task)
{
    current_ = &task;
    TLinkWaiter* const outside = TLinkWaiter::OfThisThread();
    SetOfThisThread(this);
    SwitchTo(*main_, task.context);
    SetOfThisThread(outside);
    current_ = nullptr;
    if (task.finished) {
        --unfinished_;
        ::munmap(task.stack, TaskStackSize);
        task.stack = nullptr;
        task.body = nullptr;
    }
}

void TLinkScheduler::Suspend(Task& task)
{
    SwitchTo(task.context, *main_);
}

void TLinkScheduler::SwitchTo(Context& from, const Context& to, bool fromEnds)
{
    // The sanitizers learn of the switch last, right before the jump, in this
    // same call, so that their view of each stack's calls stays whole; a
    // stack left for good keeps no record.
    BeforeSwitch(fromEnds ? nullptr : &from.fakeStack, to.stackBottom, to.stackSize, to.threadFiber);
    Jump(from.registers, to.registers);
    AfterSwitch(from.fakeStack, nullptr, nullptr);
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

void TLinkScheduler::WaitForEvents()
{
    std::array<epoll_event, EventsPerWake> ready{};
    const int count = ::epoll_wait(events_, ready.data(), EventsPerWake, MillisecondsToEarliest());
    if (count == -1 && errno != EINTR)
        RaiseSystemError("epoll_wait");
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
