// The serial device under a port: a terminal (termios) or a communications
// device (Win32) opened exclusively, and the system calls the driver makes on
// it. Internal to the driver. One implementation per platform:
// CPortDevice_unix.cpp and CPortDevice_win.cpp.
#pragma once

#include <cstdint>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "serial/CPort.h"

// The system's handle of an open device: a descriptor, or a Win32 HANDLE.
#ifdef _WIN32
using TComHandle = void*;
#else
using TComHandle = int;
#endif

// The system's error numbers for a call on a port that is not open and for a
// value the device cannot take (EBADF and EINVAL; ERROR_INVALID_HANDLE and
// ERROR_INVALID_PARAMETER).
extern const std::int32_t NotOpenError;
extern const std::int32_t InvalidValueError;

// The whole line state, rebuilt from every line setting of the port.
struct TComLineSettings {
    std::int32_t bitsPerSecond = 0;
    TDataBits dataBits = dbEight;
    TStopBits stopBits = sbOneStopBit;
    bool discardNull = false;
    TComParityValues parity;
    TComFlowValues flow;
    // The input queue fill at which XON is sent, and the free room at which
    // XOFF is sent. termios keeps thresholds of its own.
    std::int32_t xonXoffLimit = 0;
    // The byte that raises evRxFlag; termios cannot tell when it arrives.
    std::uint8_t eventChar = 0;
};

#ifndef _WIN32
// The device's line-error counters; they only ever grow.
struct TComCounters {
    std::int64_t frame = 0;
    std::int64_t parity = 0;
    std::int64_t overrun = 0;
    std::int64_t breaks = 0;
    std::int64_t rxOverflow = 0;
};
#endif

class TComDevice {
public:
    // Opens the device that `name` names (ComDevicePath), for reading and
    // writing, exclusively. Raises code 1 with the system's error when it
    // cannot, also when the name names no serial device or another opener
    // holds it. On termios it asks the kernel for low-latency handling of the
    // device where it takes it (a serial driver; the old flags come back at
    // the close) and goes on without where it does not.
    static std::unique_ptr<TComDevice> Open(const std::string& name);
    ~TComDevice();
    TComDevice(const TComDevice&) = delete;
    TComDevice& operator=(const TComDevice&) = delete;

    TComHandle Handle() const { return handle_; }
    // The device the handle is open on, whatever name opened it.
    std::string Path() const;

    // Code 9 for sizes the device cannot take.
    void SetQueueSizes(std::int32_t inputSize, std::int32_t outputSize);
    // A refused state changes nothing: the device keeps its previous state and
    // code 7 is raised. On termios the whole state is checked first, and the
    // applied state is read back: a device that did not take the rate or the
    // character size gets its previous state again. A pseudo-terminal's 8 data
    // bits without parity are what it always carries, and are accepted.
    void SetLineState(const TComLineSettings& settings);
    // Code 8 for values out of range.
    void SetTimeouts(const TComTimeoutValues& timeouts);

    // One read or write request under the time-outs (codes 3 and 2). On
    // termios a failure after some bytes went through returns those; the next
    // call reports it.
    std::int32_t Read(std::uint8_t* buffer, std::int32_t count);
    std::int32_t Write(const std::uint8_t* buffer, std::int32_t count);

    // Bytes waiting, and the line errors since the last call; clears them.
    // Code 10 on failure.
    std::int32_t InputCount();
    TComErrors TakeErrors(bool parityCheck);
    // Bytes written and not yet sent; none when the device does not tell.
    // Leaves the line errors for the next InputCount or TakeErrors.
    std::optional<std::int32_t> OutputCount();
#ifdef _WIN32
    // Bytes waiting, as InputCount, but leaving the line errors as
    // OutputCount does; none when the device does not tell.
    std::optional<std::int32_t> QueuedInput();
#endif

private:
    explicit TComDevice(TComHandle handle);

    TComHandle handle_;
#ifdef _WIN32
    struct TStatus {
        std::uint32_t errorFlags;
        std::int32_t inputCount;
        std::int32_t outputCount;
    };
    // The queue counts, and the error flags since the last status that took
    // them. The device clears its flags with every status query: a query that
    // does not take them keeps them here. None on failure (GetLastError tells).
    std::optional<TStatus> ReadStatus(bool takeErrors);

    std::string path_;
    // Error flags are taken on the event thread too (smNone dispatch).
    std::mutex statusLock_;
    std::uint32_t heldErrorFlags_ = 0;
#else
    void RequestLowLatency();
    void RestoreSerialFlags();

    bool pseudoTerminal_ = false;
    // The device's serial flags before the driver asked for low latency;
    // none when the device keeps no such flags (a pseudo-terminal).
    std::optional<int> savedSerialFlags_;
    TComTimeoutValues timeouts_;
    // TakeErrors runs on the event thread too (smNone dispatch).
    std::mutex countersLock_;
    TComCounters seenCounters_;
#endif
};

// The device path of a port name. termios: absolute paths as they are,
// COM1..COM4 the working directory's entry of that name or else
// /dev/ttyS0../dev/ttyS3. Win32: the name in the device namespace,
// "\\.\COM1" for "COM1".
std::string ComDevicePath(const std::string& name);
// The device a port name stands for, as the operator knows it: its path
// (termios), "COM1" whether "com1" or "\\.\COM1" was given (Win32).
std::string ComDeviceName(const std::string& name);

// Checks shared by both platforms.
bool QueueSizesUsable(std::int32_t inputSize, std::int32_t outputSize);
bool TimeoutsValid(const TComTimeoutValues& timeouts);

// Queries the event thread makes as well; they use nothing but the handle.
// Without modem lines (a pseudo-terminal) there is nothing to read. Code 11 on
// failure.
std::optional<TComSignals> ReadModemLines(TComHandle handle);
// Discards what the queues hold in both directions.
void PurgeQueues(TComHandle handle);

#ifndef _WIN32
// Without error counters (a pseudo-terminal) these give nothing.
std::optional<TComCounters> ReadLineCounters(int handle);
std::optional<std::int32_t> InputQueueCount(int handle);
std::optional<std::int32_t> OutputQueueCount(int handle);
#endif
