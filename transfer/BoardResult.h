// What one board's update came to, as both front ends tell it and the
// history records it.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "transfer/History.h"
#include "transfer/Session.h"

enum class BoardOutcome {
    Updated,      // every answer came and none reported an error
    Warnings,     // missing answers or board-reported errors
    Failed,       // a file, port or socket error ended the transfer
    Stopped,      // ended after answers missed in a row, or a serial write that did not complete
    Interrupted,  // stopped by the operator: Escape, closing the window, Ctrl-C
    LinkFailed,   // the link could not be opened, or another updater holds the board; nothing was sent
};

struct TBoardResult {
    std::string board;
    BoardOutcome outcome = BoardOutcome::Updated;
    std::int64_t bytes = 0;
    double seconds = 0;
    int missingAnswers = 0;
    int boardErrors = 0;
    int strayAnswers = 0;
    std::optional<TBoardError> firstBoardError;
    std::vector<TSentFile> sentFiles;  // what the board got, for the history
    std::string message;  // why it failed, stopped or could not start
    // The error that ended it, for a front end that reports errors as raised.
    std::exception_ptr failure;
    bool nothingSent = false;  // the link was never used: no counts to tell
    int attempt = 1;           // which try this is (--retries)
};

// "updated", "warnings", ...
const char* OutcomeName(BoardOutcome outcome);
// The history's outcome: "stopped" for a board stopped by the operator too,
// "failed" for one whose link could not be used.
HistoryOutcome HistoryOutcomeOf(BoardOutcome outcome);
// Bytes a second over the whole transfer; 0 when no time has passed.
double RateOf(const TBoardResult& result);
