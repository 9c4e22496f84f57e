// What one board's update came to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transfer/Session.h"

enum class BoardOutcome {
    Updated,      // every answer came and none reported an error
    Warnings,     // missing answers or board-reported errors
    Failed,       // a file, port or socket error ended the transfer
    Stopped,      // ended after answers missed in a row
    Interrupted,  // ended by Ctrl-C
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
    bool nothingSent = false;  // the link was never used: no counts to tell
    int attempt = 1;           // which try this is (--retries)
};

// "updated", "warnings", ...
const char* OutcomeName(BoardOutcome outcome);
// Bytes a second over the whole transfer; 0 when no time has passed.
double RateOf(const TBoardResult& result);
