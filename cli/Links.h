// The links the command line updates boards over: its own serial port on the
// main thread, one UDP session per board on threads of their own, or USB
// (no transport: nothing is sent).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/BoardResult.h"
#include "cli/Options.h"

class TReporter;

// What an update does: the options, the boards (the serial port, the UDP
// hosts, or "usb") and the bytes of every file it sends to each board.
struct TUpdatePlan {
    TCliOptions options;
    std::vector<std::string> boards;
    std::int64_t totalBytes = 0;
};

// Puts the link saved in ZEVEVI.CFG of the working folder into `options`, as
// the window would use it: a serial record's positions choose the port and
// its line (a position without a choice keeps the default), a network
// record's address the board. False, with the reason, when there is none.
bool ApplySavedLink(TCliOptions& options, std::string& error);

// Updates every board of the plan and returns one result per board, in order.
std::vector<TBoardResult> UpdateBoards(const TUpdatePlan& plan, TReporter& reporter);
