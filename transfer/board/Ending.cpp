#include "transfer/board/Ending.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<const char*, EndingCount> EndingNames = {"updated", "unconfirmed", "failed",
                                                              "stopped", "link failed", "not started"};

} // namespace

const char* EndingName(Ending ending)
{
    return EndingNames.at(static_cast<std::size_t>(ending));
}

std::optional<Ending> EndingNamed(std::string_view word)
{
    for (std::size_t k = 0; k < EndingNames.size(); ++k) {
        const std::string_view name = EndingNames[k];
        const bool same = name.size() == word.size() &&
                          std::equal(name.begin(), name.end(), word.begin(), [](char a, char b) {
                              return a == b || (a == ' ' && b == '-');
                          });
        if (same)
            return static_cast<Ending>(k);
    }
    return std::nullopt;
}

Ending OutcomeOf(const TSessionTally& tally)
{
    if (tally.boardErrorCount > 0)
        return Ending::Failed;
    const bool clean = tally.missingAnswers == 0 && tally.strayAnswers == 0 && tally.filesNotWritten.empty() &&
                       !tally.accountOpen;
    return clean ? Ending::Updated : Ending::Unconfirmed;
}

TBoardResult BoardNotHad(const std::string& board, const std::string& why)
{
    TBoardResult result;
    result.board = board;
    result.outcome = Ending::LinkFailed;
    result.message = why;
    result.nothingSent = true;
    return result;
}

double RateOf(const TBoardResult& result)
{
    return result.seconds > 0 ? static_cast<double>(result.bytes) / result.seconds : 0.0;
}

bool HoldsPartialFile(const TBoardResult& result)
{
    return std::any_of(result.sentFiles.begin(), result.sentFiles.end(),
                       [](const TSentFile& file) { return file.sha256.empty(); });
}

void AtBestUnconfirmed(TBoardResult& result, const std::string& cause)
{
    if (result.outcome != Ending::Updated && result.outcome != Ending::Unconfirmed)
        return;
    result.outcome = Ending::Unconfirmed;
    result.message += (result.message.empty() ? "" : "; ") + cause;
}
