#include "transfer/engine/TaskFiber.h"

#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>

#include <cstddef>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TASK_FIBER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define TASK_FIBER_TSAN 1
#endif

namespace context = boost::context;

namespace {

// A task's stack: mapped, not committed; only the pages a task touches cost
// memory. Below it a page without access, so that an overflow faults.
constexpr std::size_t TaskStackSize = std::size_t{1} << 20;

// A stack as the sanitizers know it: where it lies, and what they keep of it
// while it is switched away from.
struct TStack {
    const void* bottom = nullptr;
    std::size_t size = 0;
    void* fakeStack = nullptr;    // the address sanitizer's
    void* threadFiber = nullptr;  // the thread sanitizer's
};

// The library's guarded stacks, with where each lies kept for the sanitizers:
// all of it, its guard page below included, so that they know every frame
// on it for the task's.
class TRecordedStack {
public:
    explicit TRecordedStack(TStack& stack) : stack_(stack) {}
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
    TStack& stack_;
};

// The sanitizers learn of a switch right before it: `from` is kept unless the
// stack is left for good, `to` is the stack resumed.
void BeforeSwitch([[maybe_unused]] TStack* from, [[maybe_unused]] const TStack& to)
{
#ifdef TASK_FIBER_ASAN
    __sanitizer_start_switch_fiber(from != nullptr ? &from->fakeStack : nullptr, to.bottom, to.size);
#endif
#ifdef TASK_FIBER_TSAN
    __tsan_switch_to_fiber(to.threadFiber, 0);
#endif
}

// ... and right after it, on the stack resumed, which learns where the stack
// it came from lies when `came` is given.
void AfterSwitch([[maybe_unused]] TStack& resumed, [[maybe_unused]] TStack* came)
{
#ifdef TASK_FIBER_ASAN
    __sanitizer_finish_switch_fiber(resumed.fakeStack, came != nullptr ? &came->bottom : nullptr,
                                    came != nullptr ? &came->size : nullptr);
#endif
}

} // namespace

struct TFiberHome::State {
    TStack stack;  // the thread's own, as the sanitizers know it
};

struct TTaskFiber::State {
    TStack& home;
    std::function<void()> body;
    context::fiber fiber;  // the task, while it waits or has not begun
    context::fiber back;   // the home stack, while the task runs
    TStack stack;
};

TFiberHome::TFiberHome() : state_(std::make_unique<State>())
{
}

TFiberHome::~TFiberHome() = default;

void TFiberHome::Adopt()
{
#ifdef TASK_FIBER_TSAN
    state_->stack.threadFiber = __tsan_get_current_fiber();
#endif
}

TTaskFiber::TTaskFiber(TFiberHome& home, std::function<void()> body)
    : state_(std::make_unique<State>(State{home.Own().stack, std::move(body), {}, {}, {}}))
{
    State& made = *state_;
    made.fiber = context::fiber(std::allocator_arg, TRecordedStack(made.stack), [&made](context::fiber&& back) {
        made.back = std::move(back);
        AfterSwitch(made.stack, &made.home);
        made.body();
        // The stack is left for good: nothing of it is kept.
        BeforeSwitch(nullptr, made.home);
        return std::move(made.back);
    });
#ifdef TASK_FIBER_TSAN
    made.stack.threadFiber = __tsan_create_fiber(0);
#endif
}

TTaskFiber::~TTaskFiber()
{
#ifdef TASK_FIBER_TSAN
    __tsan_destroy_fiber(state_->stack.threadFiber);
#endif
}

void TTaskFiber::Resume()
{
    State& task = *state_;
    BeforeSwitch(&task.home, task.stack);
    task.fiber = std::move(task.fiber).resume();
    AfterSwitch(task.home, nullptr);
}

void TTaskFiber::Suspend()
{
    State& task = *state_;
    BeforeSwitch(&task.stack, task.home);
    task.back = std::move(task.back).resume();
    AfterSwitch(task.stack, &task.home);
}
