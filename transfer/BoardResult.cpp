#include "transfer/BoardResult.h"

#include <QString>

#include <algorithm>
#include <array>

#include "transfer/ErrorText.h"

TBoardResult BoardNotHad(const std::string& board, const std::string& why)
{
    TBoardResult result;
    result.board = board;
    result.outcome = Ending::LinkFailed;
    result.message = why;
    result.nothingSent = true;
    return result;
}

TBoardResult NoTransport(const std::string& board)
{
    TBoardResult result = BoardNotHad(board, UsbHasNoTransport);
    result.outcome = Ending::Failed;
    return result;
}

double RateOf(const TBoardResult& result)
{
    return result.seconds > 0 ? static_cast<double>(result.bytes) / result.seconds : 0.0;
}

namespace {

// The request as a technician names it.
struct TRequestWords {
    const char* request;
    const char* words;
};
constexpr std::array<TRequestWords, 5> RequestWords = {{
    {"GetBootError", "the boot-error query"},
    {"GetNumberofDataFiles", "the block query"},
    {"GetFlashInfo", "the flash-info query"},
    {"CreateFlashFile", "the flash-file creation"},
    {"CreateDataFile", "the data-file creation"},
}};

std::string WordsFor(const std::string& request)
{
    const auto match = std::find_if(RequestWords.begin(), RequestWords.end(),
                                    [&](const TRequestWords& words) { return request == words.request; });
    return match == RequestWords.end() ? request : match->words;
}

std::string AfterBlock(std::int64_t block)
{
    return block > 0 ? " after block " + std::to_string(block) : " before the first block";
}

std::string Seconds(int milliseconds)
{
    return QString::number(milliseconds / 1000.0).toStdString() + " s";
}

std::string Plural(int count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// "the board refused settings.bin (CreateFlashFile, result 9); it was not
// written", "the board reported boot error 3 after block 257".
std::string FirstBoardErrorClause(const TSessionTally& tally)
{
    const TBoardError& first = tally.boardErrors.front();
    std::string text;
    if (!first.file.empty())
        text = "the board refused " + FileNameOf(first.file) + " (" + first.request + ", result " +
               std::to_string(int{first.result}) + "); it was not written";
    else if (first.bootError != 0)
        text = "the board reported boot error " + std::to_string(int{first.bootError}) + AfterBlock(first.block);
    else
        text = "the board answered " + WordsFor(first.request) + AfterBlock(first.block) + " with result " +
               std::to_string(int{first.result});
    if (tally.boardErrorCount > 1)
        text += " (" + Plural(tally.boardErrorCount, "board-reported error") + " in all)";
    return text;
}

// "no answer to the boot-error query after block 12 within 10 s".
std::string FirstMissingClause(const TSessionTally& tally, bool serial)
{
    std::string text = MissingAnswerText(*tally.firstMissing);
    if (tally.missingAnswers > 1)
        text += " (" + Plural(tally.missingAnswers, "answer") + " missing in all)";
    return text + ": " + SilenceHint(serial);
}

} // namespace

void AtBestUnconfirmed(TBoardResult& result, const std::string& cause)
{
    if (result.outcome != Ending::Updated && result.outcome != Ending::Unconfirmed)
        return;
    result.outcome = Ending::Unconfirmed;
    result.message += (result.message.empty() ? "" : "; ") + cause;
}

std::string MissingAnswerText(const TMissingAnswer& missing)
{
    return "no answer to " + WordsFor(missing.request) + AfterBlock(missing.block) + " within " +
           Seconds(missing.watchdogMs);
}

Ending OutcomeOf(const TSessionTally& tally)
{
    if (tally.boardErrorCount > 0)
        return Ending::Failed;
    const bool clean = tally.missingAnswers == 0 && tally.strayAnswers == 0 && tally.filesNotWritten.empty();
    return clean ? Ending::Updated : Ending::Unconfirmed;
}

std::string EndingReason(const TSessionTally& tally, bool serial)
{
    std::vector<std::string> clauses;
    if (tally.boardErrorCount > 0 && !tally.boardErrors.empty())
        clauses.push_back(FirstBoardErrorClause(tally));
    if (tally.firstMissing)
        clauses.push_back(FirstMissingClause(tally, serial));
    if (tally.strayAnswers > 0)
        clauses.push_back(Plural(tally.strayAnswers, "stray frame") +
                          " from the board (repeated, late or no answer to the request awaited)");
    std::string text;
    for (const std::string& clause : clauses)
        text += (text.empty() ? "" : "; ") + clause;
    return text;
}

std::string DescribeBoardErrors(const TSessionTally& tally)
{
    if (tally.boardErrors.empty())
        return {};
    const TBoardError& first = tally.boardErrors.front();
    std::string what = first.bootError != 0 ? "boot error " + std::to_string(first.bootError)
                                            : "result " + std::to_string(first.result);
    std::string where = first.block > 0 ? " after block " + std::to_string(first.block) : " before the first block";
    std::string text = "The board reported a failure: its answer to " + first.label + " carried " + what + where + ".";
    if (tally.boardErrorCount > 1)
        text += " " + std::to_string(tally.boardErrorCount) + " answers reported a failure in all.";
    return text;
}

std::string DescribeStrays(const TSessionTally& tally)
{
    if (tally.strayAnswers == 0)
        return {};
    return std::to_string(tally.strayAnswers) +
           " frames from the board were no answer to the request waited for (garbled, cut short, repeated or "
           "another answer) and were dropped.";
}
