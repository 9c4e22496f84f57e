#include "transfer/engine/LinkScheduler.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

// Thrown inside a task that its scheduler ends before the task has: it
// unwinds the task's stack, so that its locks, sockets and files are let go.
// No std::exception: the task's own handlers let it pass.
struct TTaskEnded {};

} // namespace

struct TLinkScheduler::Task {
    std::function<void()> body;
    std::unique_ptr<TTaskFiber> fiber;
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

TLinkScheduler::TLinkScheduler() = default;

TLinkScheduler::~TLinkScheduler()
{
    // A task that has not ended unwinds now, on its own stack: what it holds
    // is let go as if it had ended.
    for (const auto& task : tasks_) {
        if (!task->finished) {
            task->ending = true;
            Resume(*task);
        }
    }
}

void TLinkScheduler::Spawn(std::function<void()> body)
{
    auto task = std::make_unique<Task>();
    Task& made = *task;
    made.body = std::move(body);
    made.fiber = std::make_unique<TTaskFiber>(home_, [this, &made] { Enter(made); });
    made.index = tasks_.size();
    runnable_.push_back(&made);
    tasks_.push_back(std::move(task));
    ++unfinished_;
}

void TLinkScheduler::Enter(Task& task)
{
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
}

void TLinkScheduler::Run()
{
    home_.Adopt();
    const TSignalsHeld held;
    while (unfinished_ > 0) {
        while (!runnable_.empty()) {
            Task* task = runnable_.back();
            runnable_.pop_back();
            Resume(*task);
        }
        if (unfinished_ > 0)
            WaitForEvents(held);
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
    task.fiber->Resume();
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
    task.fiber->Suspend();
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
        events_.Watch(descriptor, task.index);
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
        events_.Forget(descriptor);
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
    events_.Rest(descriptor, task.index);
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

void TLinkScheduler::WaitForEvents(const TSignalsHeld& held)
{
    for (const TSocketWatch::Ready& ready : events_.Wait(MillisecondsToEarliest(), held)) {
        if (ready.task == TSocketWatch::EveryTask) {
            for (const auto& task : tasks_)
                Wake(*task, false);
        } else if (ready.task < tasks_.size()) {
            Readable(*tasks_[ready.task], ready.descriptor);
        }
    }
    const Clock::time_point now = Clock::now();
    while (!due_.empty() && due_.top().when <= now)
        TakeEarliest(now);
}
