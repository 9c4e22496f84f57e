// The stacks of the scheduler's tasks: each task runs on a fiber with a stack
// of its own, switched to from the thread's own stack, where the scheduler
// runs, and back. Boost.Context on Linux (its stacks guarded below, and
// known to the sanitizers), the system's fibers on Windows.
#pragma once

#include <functional>
#include <memory>

// The thread's own stack, as the fibers come back to it.
class TFiberHome {
public:
    TFiberHome();
    ~TFiberHome();
    TFiberHome(const TFiberHome&) = delete;
    TFiberHome& operator=(const TFiberHome&) = delete;

    // The calling thread is the one that resumes the fibers from now on.
    void Adopt();

    struct State;
    State& Own() const { return *state_; }

private:
    std::unique_ptr<State> state_;
};

class TTaskFiber {
public:
    // `body` runs on the fiber's own stack from the first Resume; it lets no
    // exception out. The fiber ends when it returns.
    TTaskFiber(TFiberHome& home, std::function<void()> body);
    ~TTaskFiber();
    TTaskFiber(const TTaskFiber&) = delete;
    TTaskFiber& operator=(const TTaskFiber&) = delete;

    // From the home stack: runs the fiber until it suspends or ends.
    void Resume();
    // From the fiber's own stack: back to where it was resumed, until it is
    // resumed again.
    void Suspend();

    struct State;

private:
    std::unique_ptr<State> state_;
};
