#include "transfer/engine/TaskFiber.h"

#include <windows.h>

#include <cstddef>
#include <system_error>
#include <utility>

namespace {

// A task's stack: reserved, committed only as the task reaches it, with the
// system's guard page below, so that an overflow faults.
constexpr SIZE_T TaskStackSize = SIZE_T{1} << 20;
// The executable's default commit size.
constexpr SIZE_T DefaultCommit = 0;

[[noreturn]] void RaiseLastError(const char* what)
{
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

} // namespace

struct TFiberHome::State {
    void* fiber = nullptr;  // the thread's own, once adopted
    // The thread was made a fiber here, and is made a thread again at the end.
    bool converted = false;
    DWORD thread = 0;
};

struct TTaskFiber::State {
    TFiberHome& home;
    std::function<void()> body;
    void* fiber = nullptr;
};

TFiberHome::TFiberHome() : state_(std::make_unique<State>())
{
}

TFiberHome::~TFiberHome()
{
    if (state_->converted && state_->thread == ::GetCurrentThreadId())
        ::ConvertFiberToThread();
}

namespace {

// The fiber the thread runs on. MinGW's inline GetCurrentFiber reads the
// thread's block through an array of no length, which GCC 12 takes for a
// read out of its bounds.
void* CurrentFiber()
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    return ::GetCurrentFiber();
#pragma GCC diagnostic pop
}

} // namespace

void TFiberHome::Adopt()
{
    // A thread switches only from a fiber of its own: the thread itself
    // becomes one, unless something else made it one already.
    State& home = *state_;
    if (home.fiber != nullptr && home.thread == ::GetCurrentThreadId())
        return;
    home.thread = ::GetCurrentThreadId();
    home.converted = !::IsThreadAFiber();
    home.fiber = home.converted ? ::ConvertThreadToFiber(nullptr) : CurrentFiber();
    if (home.fiber == nullptr)
        RaiseLastError("ConvertThreadToFiber");
}

namespace {

// A fiber's start never returns (it would end the thread): once the body
// has, the fiber goes home for good and is deleted from there.
void WINAPI RunTask(void* state)
{
    auto& task = *static_cast<TTaskFiber::State*>(state);
    task.body();
    task.body = nullptr;
    ::SwitchToFiber(task.home.Own().fiber);
}

} // namespace

TTaskFiber::TTaskFiber(TFiberHome& home, std::function<void()> body)
    : state_(std::make_unique<State>(State{home, std::move(body), nullptr}))
{
    state_->fiber = ::CreateFiberEx(DefaultCommit, TaskStackSize, FIBER_FLAG_FLOAT_SWITCH, RunTask, state_.get());
    if (state_->fiber == nullptr)
        RaiseLastError("CreateFiberEx");
}

TTaskFiber::~TTaskFiber()
{
    ::DeleteFiber(state_->fiber);
}

void TTaskFiber::Resume()
{
    state_->home.Adopt();
    ::SwitchToFiber(state_->fiber);
}

void TTaskFiber::Suspend()
{
    ::SwitchToFiber(state_->home.Own().fiber);
}
