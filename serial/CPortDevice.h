// The serial device under a port: a termios terminal opened exclusively, and
// the system calls the driver makes on it. Internal to the driver.
#pragma once

#include <cstdint>
#include <termios.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "serial/CPort.h"

// The whole line state, rebuilt from every line setting of the port.
struct TComLineSettings {
    std::int32_t bitsPerSecond = 0;
    TDataBits dataBits = dbEight;
    TStopBits stopBits = sbOneStopBit;
    bool discardNull = false;
    TComParityValues parity;
    TComFlowValues flow;
};

// The device's line-error counters; they only ever grow.
struct TComCounters {
    std::int64_t frame = 0;
    std::int64_t parity = 0;
    std::int64_t overrun = 0;
    std::int64_t breaks = 0;
    std::int64_t rxOverflow = 0;
};

class TComDevice {
public:
    // Opens the device that `name` names, for reading and writing, exclusively.
    // Raises code 1 with errno when it cannot, also when the name names no
    // terminal or another opener holds it. Asks the kernel for low-latency
    // handling of the device where it takes it (a serial driver; the old flags
    // come back at the close) and goes on without where it does not.
    static std::unique_ptr<TComDevice> Open(const std::string& name);
    ~TComDevice();
    TComDevice(const TComDevice&) = delete;
    TComDevice& operator=(const TComDevice&) = delete;

    int Handle() const { return handle_; }
    // The terminal device the handle is open on, whatever name opened it.
    std::string Path() const;

    // Code 9 for sizes the device cannot take.
    void SetQueueSizes(std::int32_t inputSize, std::int32_t outputSize);
    // Checks the whole state first, so that a refused state changes nothing,
    // and reads the applied state back: a device that did not take the rate or
    // the character size gets its previous state again and raises code 7. A
    // pseudo-terminal's 8 data bits without parity are what it always carries,
    // and are accepted. Code 7 on failure.
    void SetLineState(const TComLineSettings& settings);
    // Code 8 for values out of range.
    void SetTimeouts(const TComTimeoutValues& timeouts);

    // One read or write request under the time-outs (codes 3 and 2). A failure
    // after some bytes went through returns those; the next call reports it.
    std::int32_t Read(std::uint8_t* buffer, std::int32_t count);
    std::int32_t Write(const std::uint8_t* buffer, std::int32_t count);

    // Bytes waiting, and the line errors since the last call; clears them.
    // Code 10 on failure.
    std::int32_t InputCount();
    TComErrors TakeErrors(bool parityCheck);

private:
    explicit TComDevice(int handle);
    void RequestLowLatency();
    void RestoreSerialFlags();
    bool SizeTaken(const termios& requested, const termios& applied) const;

    int handle_;
    bool pseudoTerminal_ = false;
    // The device's serial flags before the driver asked for low latency;
    // none when the device keeps no such flags (a pseudo-terminal).
    std::optional<int> savedSerialFlags_;
    TComTimeoutValues timeouts_;
    // TakeErrors runs on the event thread too (smNone dispatch).
    std::mutex countersLock_;
    TComCounters seenCounters_;
};

// The device path of a port name: absolute paths as they are, COM1..COM4 the
// working directory's entry of that name or else /dev/ttyS0../dev/ttyS3.
std::string ComDevicePath(const std::string& name);

// Queries the event thread makes as well; they use nothing but the handle.
// Without error counters or modem lines (a pseudo-terminal) they give nothing.
std::optional<TComCounters> ReadLineCounters(int handle);
// Code 11 on failure.
std::optional<TComSignals> ReadModemLines(int handle);
std::optional<std::int32_t> InputQueueCount(int handle);
std::optional<std::int32_t> OutputQueueCount(int handle);
// Discards what the queues hold in both directions.
void PurgeQueues(int handle);
