// What a finished transfer came to, told the same way by both front ends:
// its outcome, the board-reported failures, and its lines in the update
// history.
#pragma once

#include <QString>
#include <span>
#include <string>

#include "transfer/History.h"
#include "transfer/Session.h"

// Updated when every awaited answer came without a board-reported failure
// and every file was written; Warnings otherwise.
HistoryOutcome OutcomeOf(const TSessionTally& tally);

// The first board-reported failure, the block it followed and how many there
// were; empty when there was none.
std::string DescribeBoardErrors(const TSessionTally& tally);

// What went wrong in a transfer that completed: board-reported failures,
// missing answers and files not written, one sentence each; empty when
// nothing did.
std::string DescribeWarnings(const TSessionTally& tally);

// One history line per file of the transfer. Returns the text to show the
// operator when the history cannot be written (once per process), else empty.
struct TUpdateSummary {
    HistoryLink link = HistoryLink::Serial;
    QString board;
    HistoryKind kind = HistoryKind::Firmware;
    HistoryOutcome outcome = HistoryOutcome::Updated;
    int missingAnswers = 0;
    int boardErrors = 0;
    double seconds = 0;
};
QString RecordInHistory(const TUpdateSummary& summary, std::span<const std::string> paths);
