// The hand-over of work from a serial port's event thread to the thread that
// owns the port (the GUI thread). The driver needs nothing else of the GUI.
#pragma once

#include <exception>
#include <functional>
#include <memory>

class TComSync {
public:
    virtual ~TComSync() = default;

    // Event thread: runs `work` on the owner thread and returns once it has run
    // there, with the exception it raised (null when none). Returns early, with
    // null, when the owner thread closes the port from inside `work` itself
    // (WaitForEnd releases it then).
    virtual std::exception_ptr Synchronize(std::function<void()> work) = 0;

    // Event thread: queues `work` for the owner thread and returns at once. An
    // exception that `work` raises goes to the owner thread's event handling.
    virtual void Queue(std::function<void()> work) = 0;

    // Event thread: hands an exception that ended event delivery to the owner
    // thread's event handling (the application's error report). Unlike queued
    // work, a report survives the end of the event thread.
    virtual void Report(std::exception_ptr error) = 0;

    // Event thread: its last call. Wakes the owner thread in WaitForEnd.
    virtual void ThreadEnded() = 0;

    // Owner thread: waits until the event thread has called ThreadEnded, running
    // the work it synchronizes meanwhile (so that the thread can always reach its
    // end), then drops queued work that has not run and gets ready for the next
    // event thread.
    virtual void WaitForEnd() = 0;

    // True while synchronized or queued work waits to run on the owner thread.
    virtual bool Pending() const = 0;
};

// The Qt hand-over: the event thread posts a Qt event to an object of the
// thread that calls this, which runs the work when it processes its events (in
// its event loop and in every QCoreApplication::processEvents call).
std::shared_ptr<TComSync> MakeQtComSync();
