// What a finished transfer came to, told the same way by both front ends:
// its outcome, the board-reported failures, and its lines in the update
// history.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "transfer/History.h"
#include "transfer/Session.h"

// Updated when every awaited answer came without a board-reported failure,
// nothing else came from the board, and every file was written; Warnings
// otherwise.
HistoryOutcome OutcomeOf(const TSessionTally& tally);

// The first board-reported failure, the block it followed and how many there
// were; empty when there was none.
std::string DescribeBoardErrors(const TSessionTally& tally);

// What the board sent that answered nothing waited for; empty when there was
// nothing.
std::string DescribeStrays(const TSessionTally& tally);

// What went wrong in a transfer that completed: board-reported failures,
// missing answers, stray datagrams and files not written, one sentence each;
// empty when nothing did.
std::string DescribeWarnings(const TSessionTally& tally);

// What the history says of a transfer besides its files.
struct TUpdateSummary {
    HistoryLink link = HistoryLink::Serial;
    QString board;
    HistoryKind kind = HistoryKind::Firmware;
    HistoryOutcome outcome = HistoryOutcome::Updated;
    int missingAnswers = 0;
    int boardErrors = 0;
    double seconds = 0;
    QString reason;  // why it failed or stopped, when it did
    std::optional<HistoryBoardError> firstBoardError;
};
// One history line per chosen file of the transfer, with the size and
// SHA-256 of what the board got (`sent`, the session's tally): a file that did
// not go out whole is recorded with the size it had and no hash. Returns why
// the history cannot be written, else empty.
QString RecordInHistory(const TUpdateSummary& summary, const std::vector<std::string>& paths,
                        const std::vector<TSentFile>& sent, const QString& historyPath = DefaultHistoryPath());
