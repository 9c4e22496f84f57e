// Where a signal is taken. A signal sent to the program (Ctrl-C, a closed
// terminal, a service manager's stop) is taken by whichever of its threads
// does not hold it back, at whatever point that thread is. Held back in every
// thread but where the boards' loop waits, it is taken at that wait alone: at
// a known point of the program, never in the middle of a board's step, and
// at once, since that wait is what the loop does whenever its boards wait.
//
// Windows sends a program no signals: Ctrl-C and a closed console reach it
// through a console handler on a thread of their own, which cancels every
// link. Nothing is held there.
#pragma once

#include <memory>

// While one lives, the calling thread holds back every signal sent to the
// program (not the faults a thread raises itself), and so does every thread
// it starts meanwhile, for its whole life.
class TSignalsHeld {
public:
    TSignalsHeld();
    ~TSignalsHeld();
    TSignalsHeld(const TSignalsHeld&) = delete;
    TSignalsHeld& operator=(const TSignalsHeld&) = delete;

    // What the thread held back before: what to wait with, to take them
    // (SignalsHeld_unix.h).
    struct Before;
    const Before& Taken() const { return *before_; }

private:
    std::unique_ptr<Before> before_;
};
