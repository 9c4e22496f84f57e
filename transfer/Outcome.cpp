#include "transfer/Outcome.h"

HistoryOutcome OutcomeOf(const TSessionTally& tally)
{
    const bool clean = tally.missingAnswers == 0 && tally.boardErrorCount == 0 && tally.filesNotWritten.empty();
    return clean ? HistoryOutcome::Updated : HistoryOutcome::Warnings;
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

std::string DescribeWarnings(const TSessionTally& tally)
{
    std::string text = DescribeBoardErrors(tally);
    const auto add = [&text](const std::string& sentence) { text += (text.empty() ? "" : "\n") + sentence; };
    if (tally.missingAnswers > 0)
        add(std::to_string(tally.missingAnswers) + " awaited answers did not come.");
    for (const std::string& path : tally.filesNotWritten)
        add("The file '" + path + "' was not written.");
    return text;
}

TFileDescriptions::TFileDescriptions(std::vector<std::string> paths)
    : pending_(std::async(std::launch::async, [paths = std::move(paths)] {
          std::vector<UpdateRecord> records(paths.size());
          for (std::size_t k = 0; k < paths.size(); ++k)
              DescribeFile(records[k], QString::fromStdString(paths[k]));
          return records;
      }))
{
}

const std::vector<UpdateRecord>& TFileDescriptions::Records()
{
    if (!records_)
        records_ = pending_.get();
    return *records_;
}

QString RecordInHistory(const TUpdateSummary& summary, TFileDescriptions& files)
{
    QString warning;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (UpdateRecord record : files.Records()) {
        record.time = now;
        record.link = summary.link;
        record.board = summary.board;
        record.kind = summary.kind;
        record.outcome = summary.outcome;
        record.missingAnswers = summary.missingAnswers;
        record.boardErrors = summary.boardErrors;
        record.seconds = summary.seconds;
        const QString error = AppendHistory(record);
        if (warning.isEmpty())
            warning = error;
    }
    return warning;
}
