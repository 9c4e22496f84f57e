#include "transfer/Outcome.h"

#include <QFileInfo>

#include <algorithm>

HistoryOutcome OutcomeOf(const TSessionTally& tally)
{
    const bool clean = tally.missingAnswers == 0 && tally.boardErrorCount == 0 && tally.strayAnswers == 0 &&
                       tally.filesNotWritten.empty();
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

std::string DescribeStrays(const TSessionTally& tally)
{
    if (tally.strayAnswers == 0)
        return {};
    return std::to_string(tally.strayAnswers) +
           " frames from the board were no answer to the request waited for (garbled, cut short, or another "
           "answer) and were dropped.";
}

std::string DescribeWarnings(const TSessionTally& tally)
{
    std::string text = DescribeBoardErrors(tally);
    const auto add = [&text](const std::string& sentence) { text += (text.empty() ? "" : "\n") + sentence; };
    if (tally.missingAnswers > 0)
        add(std::to_string(tally.missingAnswers) + " awaited answers did not come.");
    if (tally.strayAnswers > 0)
        add(DescribeStrays(tally));
    for (const std::string& path : tally.filesNotWritten)
        add("The file '" + path + "' was not written.");
    return text;
}

namespace {

// The record of one chosen file: what went out when it did, else the file
// as it stands (looked at, never opened).
UpdateRecord FileRecord(const std::string& path, const std::vector<TSentFile>& sent)
{
    UpdateRecord record;
    const QString name = QString::fromStdString(path);
    record.file = QFileInfo(name).absoluteFilePath();
    const auto match = std::find_if(sent.begin(), sent.end(), [&](const TSentFile& file) { return file.path == path; });
    if (match == sent.end()) {
        record.size = QFileInfo(name).size();
        return record;
    }
    record.size = match->size;
    record.sha256 = QByteArray::fromStdString(match->sha256);
    return record;
}

} // namespace

QString RecordInHistory(const TUpdateSummary& summary, const std::vector<std::string>& paths,
                        const std::vector<TSentFile>& sent, const QString& historyPath)
{
    QString warning;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const std::string& path : paths) {
        UpdateRecord record = FileRecord(path, sent);
        record.time = now;
        record.link = summary.link;
        record.board = summary.board;
        record.kind = summary.kind;
        record.outcome = summary.outcome;
        record.missingAnswers = summary.missingAnswers;
        record.boardErrors = summary.boardErrors;
        record.seconds = summary.seconds;
        record.reason = summary.reason;
        record.firstBoardError = summary.firstBoardError;
        const QString error = AppendHistory(record, historyPath);
        if (warning.isEmpty())
            warning = error;
    }
    return warning;
}
