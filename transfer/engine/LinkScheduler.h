// Runs many boards' transfers on one thread. Each transfer is a task with a
// stack of its own (TaskFiber.h); when its link waits for the board, the
// thread goes on with another task whose board has answered. Every task's
// socket sleeps in one watch (SocketWatch.h), so a block costs no thread
// switch, however many boards there are.
//
// A link made while a task runs waits through the scheduler (the network's
// waits, every link's settle times). Every link's cancel (a signal) wakes
// every task at once; a cancel of one link from another thread is seen at
// that link's next pulse. A task never waits inside a catch block or while
// an exception is in flight: the exception belongs to the thread, and another
// task's would take its place; such a wait ends the program.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <queue>
#include <span>
#include <vector>

#include "transfer/engine/Link.h"
#include "transfer/engine/SignalsHeld.h"
#include "transfer/engine/SocketWatch.h"
#include "transfer/engine/TaskFiber.h"

class TLinkScheduler final : public TLinkWaiter {
public:
    TLinkScheduler();
    ~TLinkScheduler() override;
    TLinkScheduler(const TLinkScheduler&) = delete;
    TLinkScheduler& operator=(const TLinkScheduler&) = delete;

    // A task for Run. An exception that leaves it ends that task alone
    // (Failure tells it). A scheduler that goes before its tasks have ended
    // unwinds each on its own stack, as an exception would, so that what the
    // task holds is let go.
    void Spawn(std::function<void()> task);
    // Runs every task to its end on the calling thread. Signals sent to the
    // program are taken only while it waits for events, between tasks' steps.
    void Run();
    // What left the task spawned `task`-th (from 0), if anything.
    std::exception_ptr Failure(std::size_t task) const;

    // Called by a task's links only.
    bool WaitReadable(int descriptor, std::span<const int> wakeOn, int timeoutMs) override;
    void Sleep(std::chrono::milliseconds duration) override;
    void Forget(int descriptor) override;

private:
    using Clock = std::chrono::steady_clock;
    struct Task;
    struct Due {
        Clock::time_point when;
        Task* task;
        bool operator>(const Due& other) const { return when > other.when; }
    };

    // The task's stack begins here.
    void Enter(Task& task);
    void Resume(Task& task);
    // Back to Run from the task under way, until Run resumes it.
    void Suspend(Task& task);
    // Ends the wait of `task` when it waits, with its result.
    void Wake(Task& task, bool readable);
    // A socket reported readable: wakes the task that waits for it, or rests
    // the socket until that task waits for it again.
    void Readable(Task& task, int descriptor);
    // Starts a wait of the running task that ends at `due` at the latest.
    void WaitUntil(Task& task, Clock::time_point due);
    // Sleeps until a socket is readable, every link's cancel is, or the
    // earliest wait is due, and wakes the tasks that may go on.
    void WaitForEvents(const TSignalsHeld& held);
    int MillisecondsToEarliest();
    // Pops the earliest due time: wakes its task when the task's wait has
    // run out, or queues it again for a wait that ends later.
    void TakeEarliest(Clock::time_point now);

    TFiberHome home_;
    TSocketWatch events_;
    std::vector<std::unique_ptr<Task>> tasks_;
    std::vector<Task*> runnable_;
    // At most a due time or two per task, not one per wait: a task's queued
    // time stands for every later wait until it comes up.
    std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;
    Task* current_ = nullptr;
    std::size_t unfinished_ = 0;
};
