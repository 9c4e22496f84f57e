// The command line's update of many boards: the plan (the boards, who each
// is, what they are sent), and its run: its own serial port on the main
// thread, one UDP session per board, every board a task of one scheduler on
// the main thread, or USB (no transport: nothing is sent), each board under
// its lock across its tries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "transfer/board/BoardTry.h"
#include "transfer/engine/LinkSettings.h"

class TReporter;
class TTrace;

// A board of the plan: who it is, or why its name has no address.
struct TPlannedBoard {
    TBoardIdentity identity;  // empty key when the name has no address
    std::string error;
};

// What an update does: the options, the boards (as named, then by
// IdentifyBoards their identities' names), who each board is, the bytes of
// every file it sends to each board and the request they make.
struct TUpdatePlan {
    TCliOptions options;
    std::vector<std::string> boards;
    // One per board (IdentifyBoards).
    std::vector<TPlannedBoard> identities;
    std::int64_t totalBytes = 0;
    TUpdateRequest request;  // what every board is sent
    THistoryWriter* history = nullptr;  // where every try is recorded; none: nowhere
    TTrace* trace = nullptr;  // --trace: every frame; none without it
};

// Puts the link saved in ZEVEVI.CFG of the working folder into `options`, as
// the window would use it: a serial record's positions choose the port and
// its line (a position without a choice keeps the default), a network
// record's address the board. False, with the reason, when there is none.
bool ApplySavedLink(TCliOptions& options, std::string& error);

// The link settings of one board of the options: their serial line, the
// board's host, or USB.
TLinkSettings BoardLinkSettings(const TCliOptions& options, const std::string& board);

// Makes every board's identity before anything is sent, and names each board
// by it from then on. A name without an address is left to fail as that
// board's link; false, with the reason, when two names are one board (each
// board is updated by one session only) or an address is no board's.
bool IdentifyBoards(TUpdatePlan& plan, std::string& error);

// Fits the boards updated at once to the open-file limit (`descriptors`):
// each holds a socket and a lock while it is updated. Without --jobs, fewer
// boards run at once than asked, and that is said once; a --jobs the limit
// cannot hold is refused (false, with the reason and what fits).
bool FitJobsToDescriptors(TUpdatePlan& plan, std::size_t descriptors, std::string& error);

// Updates every board of the plan and returns one result per board, in order:
// its last try. A board whose try failed or stopped is updated again from the
// start, up to --retries times; its lock is held from before the first try
// until after the last. Every try is recorded in the plan's history.
std::vector<TBoardResult> UpdateBoards(const TUpdatePlan& plan, TReporter& reporter);
