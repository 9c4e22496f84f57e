// The sockets the scheduler's tasks wait for, each kept for its task between
// waits, and the one sleep that watches them all and every link's cancel:
// epoll on Linux, so that a wait for an answer costs no system call of its
// own; WSAPoll on Windows, the sockets being Winsock's there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "transfer/engine/SignalsHeld.h"

class TSocketWatch {
public:
    // A socket found readable, and the task it is watched for.
    struct Ready {
        std::size_t task;
        int descriptor;
    };
    // The task of every link's cancel: all of them.
    static constexpr std::size_t EveryTask = SIZE_MAX;

    // Watches every link's cancel from the start, for good.
    TSocketWatch();
    ~TSocketWatch();
    TSocketWatch(const TSocketWatch&) = delete;
    TSocketWatch& operator=(const TSocketWatch&) = delete;

    // Watches `descriptor` for `task`, whatever it was watched for before.
    void Watch(int descriptor, std::size_t task);
    // Keeps `descriptor` for `task` without watching it: nobody reads it
    // before the task waits for it again, and it would be reported at every
    // sleep until then.
    void Rest(int descriptor, std::size_t task);
    // `descriptor` is about to be closed.
    void Forget(int descriptor);

    // Sleeps until a watched socket is readable or `timeoutMs` (-1: no limit)
    // has passed. Signals sent to the program are taken here, as `held` had
    // them before. What was found readable stays valid until the next sleep.
    std::span<const Ready> Wait(int timeoutMs, const TSignalsHeld& held);

    struct State;

private:
    std::unique_ptr<State> state_;
};
