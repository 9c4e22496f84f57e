#include "cli/Reporter.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <unistd.h>

#include "transfer/Progress.h"

namespace {

// Progress objects per board and second, at most.
constexpr qint64 ProgressIntervalMs = 100;
constexpr int SecondsDecimals = 1;

// Terminal control: up N lines, and clear from the cursor to the screen's end.
std::string LinesUp(std::size_t count)
{
    return "\x1b[" + std::to_string(count) + "A";
}
constexpr const char* ClearToEnd = "\x1b[J";

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string SummaryLine(const TBoardResult& result)
{
    std::string line = result.board + ": " + OutcomeName(result.outcome) + ", " + std::to_string(result.bytes) +
                       " bytes in " + QString::number(result.seconds, 'f', SecondsDecimals).toStdString() + " s (" +
                       RateText(RateOf(result)).toStdString() + "), " + std::to_string(result.missingAnswers) +
                       " missing answers, " + std::to_string(result.boardErrors) + " board-reported errors";
    // Named only when there were any: a board that sends what nobody asked
    // for deserves a look, a sound one needs no word about it.
    if (result.strayAnswers > 0)
        line += ", " + std::to_string(result.strayAnswers) + " stray frames";
    if (!result.message.empty())
        line += ": " + result.message;
    return line;
}

void Emit(QJsonObject object)
{
    object.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

QJsonArray Texts(const std::vector<std::string>& texts)
{
    QJsonArray array;
    for (const std::string& text : texts)
        array.append(Text(text));
    return array;
}

const std::string NoBoardAnswered = "no board answered the search";

} // namespace

TReporter::Mode TReporter::ModeFor(bool json)
{
    if (json)
        return Mode::Json;
    return ::isatty(STDOUT_FILENO) ? Mode::Terminal : Mode::Quiet;
}

TReporter::TReporter(Mode mode, std::vector<std::string> boards)
    : mode_(mode), boards_(std::move(boards)), lines_(boards_.size())
{
    for (std::size_t k = 0; k < boards_.size(); ++k)
        lines_[k].text = boards_[k] + ": waiting";
}

void TReporter::Start(std::size_t board, const std::string& file, std::int64_t size)
{
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Json)
        Emit({{"event", "start"}, {"board", Text(boards_[board])}, {"file", Text(file)}, {"size", static_cast<qint64>(size)}});
    lines_[board].text = boards_[board] + ": " + QFileInfo(Text(file)).fileName().toStdString();
    if (mode_ == Mode::Terminal)
        Redraw();
}

void TReporter::Status(std::size_t board, const std::string& text)
{
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Json)
        Emit({{"event", "status"}, {"board", Text(boards_[board])}, {"text", Text(text)}});
}

void TReporter::Progress(std::size_t board, const TransferProgress& progress)
{
    std::lock_guard lock(mutex_);
    TBoardLine& line = lines_[board];
    const bool last = progress.Done() >= progress.Total();
    if (line.lastProgress.isValid() && !line.lastProgress.hasExpired(ProgressIntervalMs) && !last)
        return;
    line.lastProgress.start();
    if (mode_ == Mode::Json) {
        QJsonObject object{{"event", "progress"},  {"board", Text(boards_[board])}, {"bytes", progress.Done()},
                           {"total", progress.Total()}, {"percent", progress.Percent()}};
        if (const std::optional<double> rate = progress.BytesPerSecond())
            object.insert("rate", *rate);
        if (const std::optional<qint64> left = progress.SecondsLeft())
            object.insert("secondsLeft", *left);
        Emit(object);
        return;
    }
    line.text = boards_[board] + ": " + progress.Text().toStdString() + "   " + std::to_string(progress.Done()) +
                " of " + std::to_string(progress.Total()) + " bytes";
    if (mode_ == Mode::Terminal)
        Redraw();
}

void TReporter::Warning(std::size_t board, const std::string& text)
{
    std::lock_guard lock(mutex_);
    // Quiet: the summary counts the missing answers.
    if (mode_ != Mode::Quiet)
        Message(boards_[board], "warning", text);
}

void TReporter::Error(std::size_t board, const std::string& text)
{
    std::lock_guard lock(mutex_);
    Message(boards_[board], "error", text);
}

void TReporter::Done(std::size_t board, const TBoardResult& result)
{
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Json) {
        QJsonObject object{{"event", "done"},
                           {"board", Text(result.board)},
                           {"outcome", OutcomeName(result.outcome)},
                           {"bytes", static_cast<qint64>(result.bytes)},
                           {"seconds", result.seconds},
                           {"rate", RateOf(result)},
                           {"missingAnswers", result.missingAnswers},
                           {"boardErrors", result.boardErrors},
                           {"strayAnswers", result.strayAnswers}};
        if (result.firstBoardError) {
            const TBoardError& first = *result.firstBoardError;
            object.insert("firstBoardError", QJsonObject{{"wait", Text(first.label)},
                                                         {"block", static_cast<qint64>(first.block)},
                                                         {"result", int{first.result}},
                                                         {"bootError", int{first.bootError}}});
        }
        if (!result.message.empty())
            object.insert("message", Text(result.message));
        Emit(object);
        return;
    }
    lines_[board].text = SummaryLine(result);
    if (mode_ == Mode::Terminal)
        Redraw();
}

void TReporter::Summary(const std::vector<TBoardResult>& results)
{
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Json)
        return;
    if (mode_ == Mode::Terminal)
        ClearLines();
    for (const TBoardResult& result : results)
        std::printf("%s\n", SummaryLine(result).c_str());
    std::fflush(stdout);
}

void TReporter::SearchEnded(Mode mode, const std::vector<std::string>& boards, const std::vector<std::string>& places)
{
    if (mode == Mode::Json) {
        QJsonObject object{{"event", "done"}, {"boards", Texts(boards)}, {"searched", Texts(places)}};
        if (boards.empty())
            object.insert("message", Text(NoBoardAnswered));
        Emit(object);
        return;
    }
    if (!boards.empty())
        return;
    std::string searched;
    for (const std::string& place : places)
        searched += (searched.empty() ? "" : ", ") + place;
    std::fprintf(stderr, "orvenda-update: %s; searched %s\n", NoBoardAnswered.c_str(), searched.c_str());
    std::fflush(stderr);
}

void TReporter::Message(const std::string& board, const char* kind, const std::string& text)
{
    if (mode_ == Mode::Json) {
        Emit({{"event", kind}, {"board", Text(board)}, {"message", Text(text)}});
        return;
    }
    if (mode_ == Mode::Terminal)
        ClearLines();
    std::fprintf(stderr, "orvenda-update: %s: %s: %s\n", board.c_str(), kind, text.c_str());
    std::fflush(stderr);
    if (mode_ == Mode::Terminal)
        Redraw();
}

void TReporter::ClearLines()
{
    if (drawn_ > 0)
        std::printf("%s\r%s", LinesUp(drawn_).c_str(), ClearToEnd);
    drawn_ = 0;
    std::fflush(stdout);
}

void TReporter::Redraw()
{
    ClearLines();
    for (const TBoardLine& line : lines_)
        std::printf("%s\n", line.text.c_str());
    drawn_ = lines_.size();
    std::fflush(stdout);
}
