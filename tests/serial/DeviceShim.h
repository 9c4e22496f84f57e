// A serial device with modem lines, error counters and serial flags, made of
// a pseudo-terminal: a library preloaded into the test (LD_PRELOAD) answers
// the requests a pseudo-terminal has no answer for, for the one device the
// test names, counts them, and can report line settings the device "did not
// take". Every other call goes to the system unchanged.
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
}
