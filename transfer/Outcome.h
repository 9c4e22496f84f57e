// What a finished transfer came to, told the same way by both front ends:
// its outcome, the board-reported failures, and its lines in the update
// history.
#pragma once

#include <QString>
#include <future>
#include <optional>
#include <string>
#include <vector>

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

// The files of a transfer described for the history (DescribeFile) on a
// thread of their own, from before the transfer starts: hashing an image of a
// few MiB takes tens of milliseconds, which neither the transfer nor the
// operator then waits for. Each file is read once, whichever boards it goes
// to. The destructor waits for the thread.
class TFileDescriptions {
public:
    explicit TFileDescriptions(std::vector<std::string> paths);
    // One record a file, in the order of the paths, with its file, size and
    // SHA-256; waits until they are known.
    const std::vector<UpdateRecord>& Records();

private:
    std::future<std::vector<UpdateRecord>> pending_;
    std::optional<std::vector<UpdateRecord>> records_;
};

// What the history says of a transfer besides its files.
struct TUpdateSummary {
    HistoryLink link = HistoryLink::Serial;
    QString board;
    HistoryKind kind = HistoryKind::Firmware;
    HistoryOutcome outcome = HistoryOutcome::Updated;
    int missingAnswers = 0;
    int boardErrors = 0;
    double seconds = 0;
};
// One history line per file of the transfer. Returns the text to show the
// operator when the history cannot be written (once per process), else empty.
QString RecordInHistory(const TUpdateSummary& summary, TFileDescriptions& files);
