// How a board's update ended: the one vocabulary of both front ends, the
// history, the JSON and the exit status; the decision from a session's
// tally; and the result a try comes to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/engine/Session.h"

// Only Updated is a success: every file went out whole, every awaited answer
// came back, no board error, no stray. Unconfirmed: every byte went out, but
// answers were missing or strays came. Failed: the board reported an error,
// a file changed while sent, the link broke, or nothing could be sent.
// Stopped: by the operator or after a silent board. LinkFailed: the board
// could not be had; nothing was sent. NotStarted: the command line's run
// ended before the board's turn (interrupted, or its stop line passed);
// nothing was sent.
enum class Ending { Updated, Unconfirmed, Failed, Stopped, LinkFailed, NotStarted };
inline constexpr std::size_t EndingCount = 6;

// The ending's one word: "updated", "unconfirmed", "failed", "stopped",
// "link failed", "not started". Lines written before hold "warnings" too,
// and are shown as they are.
const char* EndingName(Ending ending);
// The ending a word names, with a blank or a hyphen between its words
// ("not-started"); none for any other word.
std::optional<Ending> EndingNamed(std::string_view word);

// How a transfer that ran to its end ended, decided here for both front
// ends once its account is closed: Failed when any frame of the board
// reported an error (a boot error, a refused file); Unconfirmed when awaited
// answers were missing, strays came, a file was not written for want of an
// answer or the run was stopped before the board was quiet; Updated otherwise.
Ending OutcomeOf(const TSessionTally& tally);

struct TBoardResult {
    std::string board;
    Ending outcome = Ending::Updated;
    std::int64_t bytes = 0;
    double seconds = 0;
    int missingAnswers = 0;
    int boardErrors = 0;
    int strayAnswers = 0;
    int strangerFrames = 0;  // other hosts' datagrams: told, no cause against the board
    std::optional<TBoardError> firstBoardError;
    // The files not written and why, each its own reason.
    std::vector<std::string> filesNotWritten;
    std::vector<std::string> notWrittenReasons;
    std::vector<TSentFile> sentFiles;  // what the board got, for the history
    std::string message;  // why it failed, stopped or could not start
    // The error that ended it, for a front end that reports errors as raised.
    std::exception_ptr failure;
    bool nothingSent = false;  // the link was never used: no counts to tell
    int attempt = 1;           // which try this is (--retries)
};

// A board that could not be had (no link, another updater holds it, an
// address that does not resolve): the link failed and nothing was sent. The
// one place both front ends make that result.
TBoardResult BoardNotHad(const std::string& board, const std::string& why);
// Bytes a second over the whole transfer; 0 when no time has passed.
double RateOf(const TBoardResult& result);

// Whether the board was left with part of a file: a file went out in part,
// and the board holds neither its old image whole nor the new one.
bool HoldsPartialFile(const TBoardResult& result);

// Keeps a result from "updated" for a cause outside the tally (a trace that
// lacks frames): at best unconfirmed, the cause added to its reason.
void AtBestUnconfirmed(TBoardResult& result, const std::string& cause);
