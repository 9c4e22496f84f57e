// What a finished transfer came to, told the same way by both front ends:
// its outcome, the board-reported failures, and its lines in the update
// history.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "transfer/BoardResult.h"
#include "transfer/History.h"
#include "transfer/Session.h"

// How a transfer that ran to its end ended, decided here for both front
// ends: Failed when the board reported an error (a boot error, a refused
// file); Unconfirmed when awaited answers were missing, strays came or a file
// was not written for want of an answer; Updated otherwise.
Ending OutcomeOf(const TSessionTally& tally);

// Why a transfer that ran to its end is not Updated, in the words of a
// technician, one clause each: the first board error, the first missing
// answer with the hint for the link (`serial`: the cable, the port and the
// bit rate; else the network), the strays; empty when nothing went wrong.
std::string EndingReason(const TSessionTally& tally, bool serial);

// Keeps a result from "updated" for a cause outside the tally (a trace that
// lacks frames): at best unconfirmed, the cause added to its reason.
void AtBestUnconfirmed(TBoardResult& result, const std::string& cause);

// "no answer to the boot-error query after block 12 within 10 s".
std::string MissingAnswerText(const TMissingAnswer& missing);

// The first board-reported failure, the block it followed and how many there
// were; empty when there was none.
std::string DescribeBoardErrors(const TSessionTally& tally);

// What the board sent that answered nothing waited for; empty when there was
// nothing.
std::string DescribeStrays(const TSessionTally& tally);

// What the history says of a transfer besides its files.
struct TUpdateSummary {
    HistoryLink link = HistoryLink::Serial;
    QString board;
    HistoryKind kind = HistoryKind::Firmware;
    Ending outcome = Ending::Updated;
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
