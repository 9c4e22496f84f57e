#include "cli/Reporter.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <array>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "transfer/ErrorText.h"
#include "transfer/Progress.h"

namespace {

// Progress objects per board and second, at most.
constexpr qint64 ProgressIntervalMs = 100;
constexpr int SecondsDecimals = 1;
// The width of a terminal that does not tell its own.
constexpr int FallbackColumns = 80;

// What the board is doing, from the session's status texts: an empty phase
// clears the one shown, no phase at all keeps it.
struct TPhaseText {
    const char* status;
    const char* phase;
};
constexpr std::array<TPhaseText, 4> Phases = {{
    {"Erasing Flash Please Wait !", "erasing"},
    {"Please Wait for Burning to Finish", "burning, do not power off"},
    {"Finish Update", ""},
    {"Finish Write", ""},
}};

// Terminal control: up N rows, and clear from the cursor to the screen's end.
std::string RowsUp(std::size_t count)
{
    return "\x1b[" + std::to_string(count) + "A";
}
constexpr const char* ClearToEnd = "\x1b[J";

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

int TerminalColumns()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return FallbackColumns;
    return size.ws_col;
}

// The line cut to one screen row: one column stays free, so that no
// terminal wraps it, whatever it does with a full row.
QString CutToWidth(const QString& line, int columns)
{
    return line.size() < columns ? line : line.left(std::max(columns - 1, 0));
}

std::string FirstBoardErrorText(const TBoardError& error)
{
    return "first board error in " + error.label + " after block " + std::to_string(error.block) + ": result " +
           std::to_string(int{error.result}) + ", boot error " + std::to_string(int{error.bootError});
}

// What a finished board came to: its outcome and counts, then what went
// wrong.
std::string SummaryText(const TBoardResult& result)
{
    std::string line = OutcomeName(result.outcome);
    if (result.attempt > 1)
        line += " on try " + std::to_string(result.attempt);
    if (result.nothingSent)
        return line + ", nothing sent";
    line += ", " + std::to_string(result.bytes) + " bytes in " +
            QString::number(result.seconds, 'f', SecondsDecimals).toStdString() + " s (" +
            RateText(RateOf(result)).toStdString() + "), " + std::to_string(result.missingAnswers) +
            " missing answers, " + std::to_string(result.boardErrors) + " board-reported errors";
    // Named only when there were any: a board that sends what nobody asked
    // for deserves a look, a sound one needs no word about it.
    if (result.strayAnswers > 0)
        line += ", " + std::to_string(result.strayAnswers) + " stray frames";
    if (result.firstBoardError)
        line += ", " + FirstBoardErrorText(*result.firstBoardError);
    if (!result.message.empty())
        line += ": " + OneLine(result.message);
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

QJsonObject DoneObject(const TBoardResult& result)
{
    QJsonObject object{{"event", "done"},
                       {"board", Text(result.board)},
                       {"outcome", OutcomeName(result.outcome)},
                       {"try", result.attempt},
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
        object.insert("reason", Text(OneLine(result.message)));
    return object;
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
    for (TBoardLine& line : lines_)
        line.text = "waiting";
}

void TReporter::Start(std::size_t board, const std::string& file, std::int64_t size)
{
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Json)
        Emit({{"event", "start"}, {"board", Text(boards_[board])}, {"file", Text(file)}, {"size", static_cast<qint64>(size)}});
    lines_[board].text = QFileInfo(Text(file)).fileName().toStdString();
    if (mode_ == Mode::Terminal)
        Redraw();
}

void TReporter::Status(std::size_t board, const std::string& text)
{
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Json)
        Emit({{"event", "status"}, {"board", Text(boards_[board])}, {"text", Text(text)}});
    for (const TPhaseText& phase : Phases) {
        if (text == phase.status) {
            lines_[board].phase = phase.phase;
            if (mode_ == Mode::Terminal)
                Redraw();
        }
    }
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
    line.text = progress.Text().toStdString() + "   " + std::to_string(progress.Done()) + " of " +
                std::to_string(progress.Total()) + " bytes";
    if (mode_ == Mode::Terminal)
        Redraw();
}

void TReporter::Waiting(std::size_t board, int seconds)
{
    std::lock_guard lock(mutex_);
    TBoardLine& line = lines_[board];
    if (line.waitingSeconds == seconds)
        return;
    line.waitingSeconds = seconds;
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
        Emit(DoneObject(result));
        return;
    }
    TBoardLine& line = lines_[board];
    line.text = SummaryText(result);
    line.phase.clear();
    line.waitingSeconds = 0;
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
    const int columns = TerminalColumns();
    for (const TBoardResult& result : results) {
        const QString line = Text(result.board + ": " + SummaryText(result));
        std::printf("%s\n", qPrintable(mode_ == Mode::Terminal ? CutToWidth(line, columns) : line));
    }
    std::fflush(stdout);
}

void TReporter::SearchEnded(Mode mode, const std::vector<std::string>& boards, const std::vector<std::string>& places,
                            const std::vector<std::string>& failed)
{
    if (mode == Mode::Json) {
        QJsonObject object{{"event", "done"}, {"boards", Texts(boards)}, {"searched", Texts(places)}};
        if (!failed.empty())
            object.insert("failed", Texts(failed));
        if (boards.empty())
            object.insert("message", Text(NoBoardAnswered));
        Emit(object);
        return;
    }
    for (const std::string& place : failed)
        std::fprintf(stderr, "orvenda-update: the search could not be sent to %s\n", place.c_str());
    if (!boards.empty())
        return;
    std::string searched;
    for (const std::string& place : places)
        searched += (searched.empty() ? "" : ", ") + place;
    std::fprintf(stderr, "orvenda-update: %s; searched %s\n", NoBoardAnswered.c_str(), searched.c_str());
    std::fflush(stderr);
}

void TReporter::Ended(const std::string& message, int exitStatus)
{
    Emit({{"event", "error"}, {"message", Text(OneLine(message))}, {"exitStatus", exitStatus}});
}

void TReporter::Message(const std::string& board, const char* kind, const std::string& text)
{
    const std::string line = OneLine(text);
    if (mode_ == Mode::Json) {
        Emit({{"event", kind}, {"board", Text(board)}, {"message", Text(line)}});
        return;
    }
    if (mode_ == Mode::Terminal)
        ClearLines();
    std::fprintf(stderr, "orvenda-update: %s: %s: %s\n", board.c_str(), kind, line.c_str());
    std::fflush(stderr);
    if (mode_ == Mode::Terminal)
        Redraw();
}

std::string TReporter::LineOf(std::size_t board) const
{
    const TBoardLine& line = lines_[board];
    std::string text = boards_[board] + ": ";
    if (line.waitingSeconds > 0)
        text += "waiting for the board, " + std::to_string(line.waitingSeconds) + " s; ";
    if (!line.phase.empty())
        text += line.phase + "; ";
    return text + line.text;
}

// Moves up over the rows the drawn lines take now: a terminal that has
// narrowed since rewraps them over more rows.
void TReporter::ClearLines()
{
    if (drawn_.empty())
        return;
    const qsizetype columns = TerminalColumns();
    std::size_t rows = 0;
    for (qsizetype length : drawn_)
        rows += static_cast<std::size_t>(std::max<qsizetype>(1, (length + columns - 1) / columns));
    std::printf("%s\r%s", RowsUp(rows).c_str(), ClearToEnd);
    drawn_.clear();
    std::fflush(stdout);
}

void TReporter::Redraw()
{
    ClearLines();
    const int columns = TerminalColumns();
    for (std::size_t k = 0; k < lines_.size(); ++k) {
        const QString line = CutToWidth(Text(LineOf(k)), columns);
        std::printf("%s\n", qPrintable(line));
        drawn_.push_back(line.size());
    }
    std::fflush(stdout);
}
