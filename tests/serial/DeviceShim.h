// A serial device with modem lines, error counters and serial flags, made of
// a pseudo-terminal: a library preloaded into the test (LD_PRELOAD) answers
// the requests a pseudo-terminal has no answer for, for the one device the
// test names, counts them, and can report line settings the device "did not
// take". It counts the waits for room to write that ran out. It can also hold what is written to the device in its output queue
// for a while, as a slow line would, and tell whether the device was closed
// with bytes still queued. Every other call goes to the system unchanged.
//
// A child process takes its settings from the environment when the library
// loads: ORVENDA_SHIM_SERVE=<device path>, ORVENDA_SHIM_HOLD_MS=<ms> and
// ORVENDA_SHIM_REPORT=<file>, into which every close of the device writes
// ShimClosedQueued or ShimClosedDrained (the former once any close was).
#pragma once

#include <termios.h>

extern "C" {

// How often the driver asked the served device for each.
struct ShimCallCounts {
    long modemLineReads;  // TIOCMGET
    long modemLineWaits;  // TIOCMIWAIT
    long counterReads;    // TIOCGICOUNT
    long serialFlagReads; // TIOCGSERIAL
    long serialFlagSets;  // TIOCSSERIAL
    long writeWaitsRunOut; // polls for POLLOUT alone that ended with no room
};

// Serves the device at `path` from now on, with counts, counters and
// reported settings reset; null serves none.
void ShimServe(const char* path);
ShimCallCounts ShimCalls();
// The modem input lines (TIOCM_CTS, ...) the device reports.
void ShimSetModemLines(int lines);
// Every read of the error counters finds one framing error more.
void ShimSetFramingErrorsGrow(bool grow);
// The serial flags (ASYNC_...) the device holds.
void ShimSetSerialFlags(int flags);
int ShimSerialFlags();
// The device keeps this rate or character size whatever it is asked for
// (tcgetattr reports it); 0 reports what was asked.
void ShimKeepSpeed(speed_t speed);
void ShimKeepCharacterSize(tcflag_t size);
// After each write to the device, TIOCOUTQ reports the bytes written since
// the queue was last empty as still queued until `milliseconds` after that
// write; 0 reports what the system does.
void ShimHoldOutput(int milliseconds);
// Whether the device was closed while its output was held, since ShimServe.
bool ShimClosedWhileQueued();
// While held, every read of the error counters (TIOCGICOUNT) waits until it
// is let go; how many wait now.
void ShimHoldCounterReads(bool hold);
long ShimCounterReadsWaiting();
}

// What the report file says after the device was closed.
inline constexpr const char* ShimClosedQueued = "closed-while-queued";
inline constexpr const char* ShimClosedDrained = "closed-drained";
