// The event thread of one open port: waits for the line events of the port's
// Events on the device and hands each set of them over by the port's SyncMethod.
// Internal to the driver. The wait is the platform's: CPortThread_unix.cpp
// (epoll, and a look at the device for what it cannot wait for) and
// CPortThread_win.cpp (WaitCommEvent); the hand-over is shared.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>

#include "serial/CPort.h"
#include "serial/CPortDevice.h"

class TComThread {
public:
    // Prepares the signals and the wait on `device`; code 1 with the system's
    // error when the system refuses them. The thread runs from Start() on. On
    // termios it reads the device's error counters only when `events` holds
    // evError or evBreak, and its modem lines only when `events` holds one of
    // their events; Win32 enables exactly `events` on the device.
    TComThread(TCustomComPort& port, TComDevice& device, TComEvents events, TSyncMethod syncMethod,
               std::shared_ptr<TComSync> sync, std::int32_t rx80Mark);
    // Stops the thread when it still runs.
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    void Start();
    // Owner thread: signals the thread to stop and waits for its end, running
    // the dispatches it hands over meanwhile.
    void Stop();
    bool Running() const { return running_.load(); }

    // Owner thread: bytes went out; evTxEmpty follows once the output queue is empty.
    void NotifyWritten();
    // Owner thread: the input queue fill at which evRx80Full is reported.
    void SetRx80Mark(std::int32_t mark);

private:
    void Execute();
    // One wait: the events that came (possibly none), or nothing when the
    // thread is to stop or the device can no longer be waited on.
    std::optional<TComEvents> WaitForEvents();
    // Wakes the thread out of its wait to end.
    void SignalStop();
    // The thread's last look at the device: it stops watching it and
    // discards what its queues hold.
    void StopWatching();
    void ReleaseSignals();
    // False when a dispatch failed: the thread then ends as it is.
    bool Deliver(TComEvents events);
    // True without an error; else reports it and gives false.
    bool Survived(std::exception_ptr error);

    TCustomComPort& port_;
    const TComHandle handle_;
    const TComEvents events_;
    const TSyncMethod syncMethod_;
    std::shared_ptr<TComSync> sync_;
    std::atomic<bool> running_{false};
    std::thread thread_;

#ifdef _WIN32
    TComDevice& device_;
    // Events: the stop signal and the completion of the line-event wait.
    void* stopSignal_ = nullptr;
    void* waitDone_ = nullptr;
    // Bytes that came before the events were enabled raise no event; the
    // first wait reports them.
    bool firstWait_ = true;
#else
    void CollectInput(TComEvents& events, bool received);
    void CollectOutput(TComEvents& events);
    void CollectLineErrors(TComEvents& events);
    void CollectModemLines(TComEvents& events);
    // How long one wait may last before the device is looked at (ms; -1: no limit).
    int PollInterval() const;

    std::atomic<std::int32_t> rx80Mark_;
    std::atomic<bool> txPending_{false};  // written since the queue was last seen empty
    std::atomic<bool> watchingOutput_{false};  // the thread looks at the queue every OutputPollMs

    // Descriptors: the wait set, the stop signal and the written-bytes signal.
    int waitSet_ = -1;
    int stopSignal_ = -1;
    int writtenSignal_ = -1;

    // Seen by the event thread alone.
    std::optional<TComCounters> counters_;
    std::optional<TComSignals> modemLines_;
    bool above80_ = false;
    std::chrono::steady_clock::time_point outputSeen_;  // when bytes were last seen going out
#endif
};
