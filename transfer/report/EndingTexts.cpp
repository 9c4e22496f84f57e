#include "transfer/report/EndingTexts.h"

#include <QString>

#include <algorithm>
#include <array>
#include <cctype>

#include "transfer/report/ErrorText.h"

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

// Where a failure came: after its block, or, when the board answered more
// than once, after that block at the latest.
std::string AfterBlock(std::int64_t block, bool uncertain = false)
{
    std::string text = block > 0 ? " after block " + std::to_string(block) : " before the first block";
    if (uncertain)
        text += block > 0 ? " at the latest (answers came more than once)" : " (answers came more than once)";
    return text;
}

std::string Seconds(int milliseconds)
{
    return QString::number(milliseconds / 1000.0).toStdString() + " s";
}

std::string Plural(int count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// "no answer to the boot-error query after block 12 within 10 s".
std::string FirstMissingClause(const TSessionTally& tally, bool serial)
{
    std::string text = MissingAnswerText(*tally.firstMissing);
    if (tally.missingAnswers > 1)
        text += " (" + Plural(tally.missingAnswers, "answer") + " missing in all)";
    return text + ": " + SilenceHint(serial, tally.strayAnswers > 0);
}

} // namespace

std::string BoardErrorsClause(const TSessionTally& tally)
{
    if (tally.boardErrorCount == 0 || tally.boardErrors.empty())
        return {};
    const TBoardError& first = tally.boardErrors.front();
    std::string text;
    if (!first.file.empty())
        text = "the board refused " + FileNameOf(first.file) + " (" + first.request + ", result " +
               std::to_string(int{first.result}) + "); it was not written";
    else if (first.bootError != 0)
        text = "the board reported boot error " + std::to_string(int{first.bootError}) +
               AfterBlock(first.block, tally.strayAnswers > 0);
    else
        text = "the board answered " + WordsFor(first.request) + AfterBlock(first.block, tally.strayAnswers > 0) +
               " with result " + std::to_string(int{first.result});
    if (tally.boardErrorCount > 1)
        text += " (" + Plural(tally.boardErrorCount, "board-reported error") + " in all)";
    return text;
}

std::string EndingReason(const TSessionTally& tally, bool serial)
{
    std::vector<std::string> clauses{BoardErrorsClause(tally)};
    if (tally.firstMissing)
        clauses.push_back(FirstMissingClause(tally, serial));
    if (tally.strayAnswers > 0)
        clauses.push_back(Plural(tally.strayAnswers, "stray frame") +
                          " from the board (repeated, late or no answer to the request awaited)");
    if (tally.accountOpen)
        clauses.push_back("stopped before the board was quiet: what it sent last is unknown");
    std::string text;
    for (const std::string& clause : clauses)
        if (!clause.empty())
            text += (text.empty() ? "" : "; ") + clause;
    return text;
}

std::string DescribeBoardErrors(const TSessionTally& tally)
{
    std::string text = BoardErrorsClause(tally);
    if (text.empty())
        return text;
    text.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
    return text + ".";
}

std::string MissingAnswerText(const TMissingAnswer& missing)
{
    return "no answer to " + WordsFor(missing.request) + AfterBlock(missing.block) + " within " +
           Seconds(missing.watchdogMs);
}

std::string DescribeStrays(const TSessionTally& tally)
{
    if (tally.strayAnswers == 0)
        return {};
    return std::to_string(tally.strayAnswers) +
           " frames from the board were no answer to the request waited for (garbled, cut short, repeated or "
           "another answer) and were dropped.";
}

QJsonObject BoardErrorObject(const TBoardError& error)
{
    return QJsonObject{{"wait", QString::fromStdString(error.label)},
                       {"block", static_cast<qint64>(error.block)},
                       {"result", int{error.result}},
                       {"bootError", int{error.bootError}}};
}
