// The links the command line updates boards over: its own serial port on the
// main thread, one UDP session per board on threads of their own, or USB
// (no transport: nothing is sent).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "transfer/BoardResult.h"
#include "transfer/Run.h"

class TReporter;
class TTrace;

// Why nothing goes out over --usb.

// A UDP board's name resolved: its dotted address, or why it has none.
struct TResolvedBoard {
    std::string address;  // empty when the name has no address
    std::string error;
};

// What an update does: the options, the boards (the serial port, the UDP
// hosts as named, or "usb"), the UDP hosts' addresses (ResolveBoards), the
// bytes of every file it sends to each board and the request they make.
struct TUpdatePlan {
    TCliOptions options;
    std::vector<std::string> boards;
    // One per UDP board: its dotted address, or why its name has none.
    std::vector<TResolvedBoard> addresses;
    std::int64_t totalBytes = 0;
    TUpdateRequest request;  // what every board is sent
    // Hears every try of every board as it ends, with the board's link, for
    // the history; from the boards' threads.
    std::function<void(const TLinkSettings&, const TBoardResult&)> tried;
    TTrace* trace = nullptr;  // --trace: every frame; none without it
};

// Puts the link saved in ZEVEVI.CFG of the working folder into `options`, as
// the window would use it: a serial record's positions choose the port and
// its line (a position without a choice keeps the default), a network
// record's address the board. False, with the reason, when there is none.
bool ApplySavedLink(TCliOptions& options, std::string& error);

// Resolves the UDP boards' names before anything is sent. A name without an
// address is left to fail as that board's link; false, with the reason, when
// two names are one board (each board is updated by one session only).
bool ResolveBoards(TUpdatePlan& plan, std::string& error);

// Updates every board of the plan and returns one result per board, in order:
// its last try. A board whose try failed or stopped is updated again from the
// start, up to --retries times.
std::vector<TBoardResult> UpdateBoards(const TUpdatePlan& plan, TReporter& reporter);
