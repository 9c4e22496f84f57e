#include "cli/Reporter.h"

#include "cli/Output.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string_view>

#include "cli/Terminal.h"
#include "cli/WordWrap.h"
#include "transfer/engine/SignalsHeld.h"
#include "transfer/report/EndingTexts.h"
#include "transfer/report/ErrorText.h"
#include "transfer/report/Progress.h"

namespace {

// Progress objects per board and second, at most; also the view's redraws in
// all, whatever the number of boards.
constexpr qint64 ProgressIntervalMs = 100;
constexpr auto RedrawInterval = std::chrono::milliseconds(ProgressIntervalMs);
// Progress taken per second in all, at most: beyond a hundred boards at once
// each board's comes less often, so that a fleet's progress costs no more a
// block than a few boards' and a JSON reader is not flooded.
constexpr qint64 RunProgressPerSecond = 1000;
// Plain: the run's progress line at most this often.
constexpr qint64 RunProgressIntervalMs = 5000;
constexpr int SecondsDecimals = 1;
// Continuation rows of a wrapped result start this far in.
const QString WrapIndent = QStringLiteral("  ");

// What the view says the board is doing; nothing while it needs no care.
std::string PhaseWords(BoardPhase phase)
{
    switch (phase) {
    case BoardPhase::Erasing:
        return "erasing";
    case BoardPhase::Burning:
        return "burning, do not power off";
    case BoardPhase::None:
        break;
    }
    return {};
}

// Terminal control: the cursor up and down N rows (N > 0: 0 reads as 1),
// clear to the row's end and the whole row.
std::string RowsUp(std::size_t count)
{
    return "\x1b[" + std::to_string(count) + "A";
}
std::string RowsDown(std::size_t count)
{
    return "\x1b[" + std::to_string(count) + "B";
}
constexpr const char* ClearToRowEnd = "\x1b[K";
constexpr const char* ClearRow = "\x1b[2K";

// Clears `rows` rows from the cursor's down, leaving the cursor at the first.
// Row by row, never to the screen's end: a terminal told to clear the screen
// from its top-left corner may keep what it held in its scrollback (tmux
// does), and the view would stay there as a stale copy.
std::string ClearRows(std::size_t rows)
{
    std::string out = "\r";
    for (std::size_t row = 0; row < rows; ++row)
        out += (row > 0 ? RowsDown(1) : "") + ClearRow;
    return rows > 1 ? out + RowsUp(rows - 1) : out;
}

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

// The line cut to one screen row: one column stays free, so that no
// terminal wraps it, whatever it does with a full row. Cut between words,
// which " ..." then follows: the whole line is in the result.
QString CutToWidth(const QString& line, int columns)
{
    static const QString Cut = QStringLiteral(" ...");
    if (line.size() < columns)
        return line;
    const qsizetype room = std::max<qsizetype>(columns - 1 - Cut.size(), 0);
    qsizetype end = line.lastIndexOf(QLatin1Char(' '), room);
    while (end > 0 && line.at(end - 1) == QLatin1Char(' '))
        --end;
    // One word wider than the row: cut inside it, as nothing else fits.
    return line.left(end > 0 ? end : room) + Cut;
}

// The line in rows that fit a terminal `columns` wide, its last column left
// free; rows after the first are indented.
QStringList TerminalRows(const QString& line, int columns)
{
    return WrapWords(line, columns - 1, WrapIndent);
}

// What a finished board came to: its outcome and counts, then what went
// wrong.
std::string SummaryText(const TBoardResult& result)
{
    std::string line = EndingName(result.outcome);
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
    if (result.strangerFrames > 0)
        line += ", " + std::to_string(result.strangerFrames) + " datagrams from other hosts ignored";
    if (!result.message.empty())
        line += ": " + OneLine(result.message);
    return line;
}

// Where a board's result goes in the final list: the boards that need a look
// last, nearest the prompt.
int ResultRank(Ending outcome)
{
    switch (outcome) {
    case Ending::Updated:
        return 0;
    case Ending::Stopped:
    case Ending::NotStarted:
        return 1;
    case Ending::Unconfirmed:
    case Ending::Failed:
    case Ending::LinkFailed:
        break;
    }
    return 2;
}

// Colours for a terminal, unless the user asked for none (NO_COLOR, as
// no-color.org has it) or the terminal shows none.
bool ShowsColour()
{
    const char* noColour = std::getenv("NO_COLOR");
    return (noColour == nullptr || *noColour == '\0') && TerminalShowsColour(StandardOutput);
}

// The row with the first ending word after the board in the ending's colour:
// green for updated, red for failed and link failed, yellow for the rest.
QString InColour(const QString& row, Ending ending)
{
    const QString word = QString::fromLatin1(EndingName(ending));
    const QString colour = ending == Ending::Updated ? QStringLiteral("\x1b[32m")
                           : ending == Ending::Failed || ending == Ending::LinkFailed ? QStringLiteral("\x1b[31m")
                                                                                     : QStringLiteral("\x1b[33m");
    const qsizetype at = row.indexOf(QStringLiteral(": ") + word);
    if (at < 0)
        return row;
    const qsizetype start = at + 2;
    return row.left(start) + colour + word + QStringLiteral("\x1b[0m") + row.mid(start + word.size());
}

// "29 updated, 1 failed, 2 stopped (exit 1)": the outcomes in the engine's
// order, each with its count.
std::string TotalsLine(const std::vector<TBoardResult>& results, int exitStatus)
{
    std::map<Ending, int> counts;
    for (const TBoardResult& result : results)
        ++counts[result.outcome];
    std::string line;
    for (const auto& [outcome, count] : counts)
        line += (line.empty() ? "" : ", ") + std::to_string(count) + " " + EndingName(outcome);
    return line + " (exit " + std::to_string(exitStatus) + ")";
}

// "link failed" as a JSON key: "linkFailed".
QString EndingKey(Ending ending)
{
    QString key;
    bool upper = false;
    for (const char character : std::string_view(EndingName(ending))) {
        if (character == ' ') {
            upper = true;
            continue;
        }
        key += upper ? QChar(character).toUpper() : QChar(character);
        upper = false;
    }
    return key;
}

// The run's last event: its id, how many boards came to each ending, and the
// exit status.
QJsonObject TotalsObject(const std::vector<TBoardResult>& results, int exitStatus, const QString& run)
{
    std::array<int, EndingCount> counts{};
    for (const TBoardResult& result : results)
        ++counts.at(static_cast<std::size_t>(result.outcome));
    QJsonObject object{{"event", "totals"}, {"run", run}, {"boards", static_cast<qint64>(results.size())},
                       {"exitStatus", exitStatus}};
    for (std::size_t k = 0; k < EndingCount; ++k)
        object.insert(EndingKey(static_cast<Ending>(k)), counts[k]);
    return object;
}

void Emit(QJsonObject object)
{
    object.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    Output::Write(StandardOutput, QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n");
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
                       {"outcome", EndingName(result.outcome)},
                       {"try", result.attempt},
                       {"bytes", static_cast<qint64>(result.bytes)},
                       {"seconds", result.seconds},
                       {"rate", RateOf(result)},
                       {"missingAnswers", result.missingAnswers},
                       {"boardErrors", result.boardErrors},
                       {"strayAnswers", result.strayAnswers}};
    if (result.strangerFrames > 0)
        object.insert("strangerFrames", result.strangerFrames);
    if (result.firstBoardError)
        object.insert("firstBoardError", BoardErrorObject(*result.firstBoardError));
    if (HoldsPartialFile(result))
        object.insert("partialFile", true);
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
    return TerminalMovesCursor(StandardError) ? Mode::Live : Mode::Plain;
}

TReporter::TReporter(Mode mode, std::vector<std::string> boards)
    : mode_(mode), boards_(std::move(boards)), lines_(boards_.size())
{
    if (mode_ != Mode::Json) {
        lastRunProgress_.start();
        // The program's signals are for the boards' loop to take.
        const TSignalsHeld held;
        clock_ = std::thread([this] { Tick(); });
    }
}

TReporter::~TReporter()
{
    StopClock();
}

void TReporter::StopClock()
{
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    if (clock_.joinable())
        clock_.join();
}

void TReporter::Tick()
{
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, RedrawInterval, [this] { return ending_; })) {
        if (mode_ == Mode::Live && changed_) {
            Draw();
        } else if (mode_ == Mode::Plain && lastRunProgress_.hasExpired(RunProgressIntervalMs)) {
            lastRunProgress_.start();
            const bool running = std::any_of(lines_.begin(), lines_.end(),
                                             [](const TBoardLine& line) { return line.state == BoardState::Running; });
            if (running)
                Output::Write(StandardError, RunProgressLine() + "\n");
        }
    }
}

void TReporter::Changed()
{
    changed_ = true;
}

void TReporter::Start(std::size_t board, const std::string& file, std::int64_t size)
{
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Json)
        Emit({{"event", "start"}, {"board", Text(boards_[board])}, {"file", Text(file)}, {"size", static_cast<qint64>(size)}});
    TBoardLine& line = lines_[board];
    line.text = QFileInfo(Text(file)).fileName().toStdString();
    if (mode_ == Mode::Plain && line.state != BoardState::Running) {
        Output::Write(StandardError,
                      boards_[board] + ": started, " + line.text + " (" + std::to_string(size) + " bytes)\n");
    }
    if (line.state != BoardState::Running)
        ++running_;
    line.state = BoardState::Running;
    Changed();
}

void TReporter::Status(std::size_t board, const std::string& text)
{
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Json)
        Emit({{"event", "status"}, {"board", Text(boards_[board])}, {"text", Text(text)}});
}

void TReporter::Phase(std::size_t board, BoardPhase phase)
{
    std::lock_guard lock(mutex_);
    lines_[board].phase = PhaseWords(phase);
    Changed();
}

std::chrono::milliseconds TReporter::ProgressInterval() const
{
    const auto running = static_cast<qint64>(running_.load(std::memory_order_relaxed));
    return std::chrono::milliseconds(
        std::max(ProgressIntervalMs, std::chrono::milliseconds(std::chrono::seconds(running)).count() / RunProgressPerSecond));
}

void TReporter::Progress(std::size_t board, const TransferProgress& progress)
{
    std::lock_guard lock(mutex_);
    TBoardLine& line = lines_[board];
    line.done = progress.Done();
    line.total = progress.Total();
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
    line.percent = progress.Percent();
    line.pace = (RateText(progress.BytesPerSecond()) + QStringLiteral("   ") + TimeLeftText(progress.SecondsLeft()))
                    .toStdString();
    Changed();
}

void TReporter::Waiting(std::size_t board, int seconds)
{
    std::lock_guard lock(mutex_);
    TBoardLine& line = lines_[board];
    if (line.waitingSeconds == seconds)
        return;
    line.waitingSeconds = seconds;
    Changed();
}

void TReporter::Warning(std::size_t board, const std::string& text)
{
    std::lock_guard lock(mutex_);
    // Plain: the result counts the missing answers.
    if (mode_ != Mode::Plain)
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
    TBoardLine& line = lines_[board];
    running_ -= line.state == BoardState::Running ? 1 : 0;
    line.state = result.outcome == Ending::Updated ? BoardState::Updated : BoardState::NotUpdated;
    if (mode_ == Mode::Json) {
        Emit(DoneObject(result));
        return;
    }
    line.text = SummaryText(result);
    line.phase.clear();
    line.waitingSeconds = 0;
    if (mode_ == Mode::Plain)
        Output::Write(StandardError, boards_[board] + ": " + line.text + "\n");
    Changed();
}

void TReporter::Summary(const std::vector<TBoardResult>& results, int exitStatus, const QString& run)
{
    if (mode_ == Mode::Json) {
        Emit(TotalsObject(results, exitStatus, run));
        return;
    }
    StopClock();
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Live)
        Erase();
    std::vector<const TBoardResult*> ordered;
    for (const TBoardResult& result : results)
        ordered.push_back(&result);
    std::stable_sort(ordered.begin(), ordered.end(), [](const TBoardResult* a, const TBoardResult* b) {
        return ResultRank(a->outcome) < ResultRank(b->outcome);
    });
    // A pipe takes each result as one line; a terminal shows it whole over
    // as many rows as it needs, its ending in colour.
    const bool terminal = IsTerminal(StandardOutput);
    const bool colour = terminal && ShowsColour();
    const int columns = TerminalSize(StandardOutput).columns;
    std::string printed;
    auto print = [&](const std::string& line, std::optional<Ending> ending = std::nullopt) {
        QStringList rows = terminal ? TerminalRows(Text(line), columns) : QStringList{Text(line)};
        if (colour && ending)
            rows.front() = InColour(rows.front(), *ending);
        for (const QString& row : rows)
            printed += row.toStdString() + "\n";
    };
    for (const TBoardResult* result : ordered)
        print(result->board + ": " + SummaryText(*result), result->outcome);
    std::string partial;
    for (const TBoardResult& result : results)
        if (HoldsPartialFile(result))
            partial += (partial.empty() ? "" : ", ") + result.board;
    if (!partial.empty())
        print("left with part of a file, to be updated again: " + partial);
    print(TotalsLine(results, exitStatus));
    Output::Write(StandardOutput, std::move(printed));
}

void TReporter::SearchEnded(Mode mode, const std::vector<std::string>& boards, const std::vector<std::string>& places,
                            const std::vector<std::string>& unsent)
{
    // The socket layer breaks its texts after the error's number.
    std::vector<std::string> failed;
    for (const std::string& place : unsent)
        failed.push_back(OneLine(place));
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
        Output::Write(StandardError, "orvenda-update: the search could not be sent to " + place + "\n");
    if (!boards.empty())
        return;
    std::string searched;
    for (const std::string& place : places)
        searched += (searched.empty() ? "" : ", ") + place;
    Output::Write(StandardError, "orvenda-update: " + NoBoardAnswered + "; searched " + searched + "\n");
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
    const std::string message = "orvenda-update: " + board + ": " + kind + ": " + line;
    // Above the view, which the next tick draws again below it; wrapped, so
    // that the view's rows stay where it counts them.
    if (mode_ == Mode::Live) {
        Erase();
        std::string rows;
        for (const QString& row : TerminalRows(Text(message), TerminalSize(StandardError).columns))
            rows += row.toStdString() + "\n";
        Output::Write(StandardError, std::move(rows));
    } else {
        Output::Write(StandardError, message + "\n");
    }
    Changed();
}

std::string TReporter::LineOf(std::size_t board) const
{
    const TBoardLine& line = lines_[board];
    const std::string name = boards_[board] + ": ";
    if (line.state == BoardState::Waiting)
        return name + "queued";
    if (line.state != BoardState::Running)
        return name + line.text;
    std::string text = name;
    if (line.waitingSeconds > 0)
        text += "no answer for " + std::to_string(line.waitingSeconds) + " s; ";
    if (!line.phase.empty())
        text += line.phase + "; ";
    // The file's name until its first block has gone.
    if (line.total == 0)
        return text + line.text;
    text += std::to_string(line.percent) + " %";
    // The rate and the time left only while blocks go: a board that does not
    // answer has no time left to tell.
    if (line.waitingSeconds == 0)
        text += "   " + line.pace;
    return text + "   " + std::to_string(line.done) + " of " + std::to_string(line.total) + " bytes";
}

std::string TReporter::FleetLine() const
{
    std::map<BoardState, std::size_t> counts;
    for (const TBoardLine& line : lines_)
        ++counts[line.state];
    const std::size_t updated = counts[BoardState::Updated];
    const std::size_t notUpdated = counts[BoardState::NotUpdated];
    std::string text = std::to_string(updated + notUpdated) + " of " + std::to_string(lines_.size()) + " boards done";
    if (updated + notUpdated > 0)
        text += " (" + std::to_string(updated) + " updated, " + std::to_string(notUpdated) + " not updated)";
    return text + ", " + std::to_string(counts[BoardState::Running]) + " in progress, " +
           std::to_string(counts[BoardState::Waiting]) + " queued";
}

std::vector<std::string> TReporter::Frame(std::size_t rows) const
{
    // The row below the view holds the cursor: a view as tall as the
    // terminal would push its first line into the scrollback at every redraw.
    // A fleet's view ends with its totals.
    const bool fleet = lines_.size() > 1;
    const std::size_t most = std::max<std::size_t>(rows, 3) - 1 - (fleet ? 1 : 0);
    std::vector<std::string> frame;
    if (lines_.size() <= most) {
        for (std::size_t k = 0; k < lines_.size(); ++k)
            frame.push_back(LineOf(k));
    } else {
        // Failed boards, then those in progress, each in the boards' order,
        // as many as fit; the totals count the rest.
        for (const BoardState state : {BoardState::NotUpdated, BoardState::Running}) {
            for (std::size_t k = 0; k < lines_.size() && frame.size() < most; ++k) {
                if (lines_[k].state == state)
                    frame.push_back(LineOf(k));
            }
        }
    }
    if (fleet)
        frame.push_back(FleetLine());
    return frame;
}

void TReporter::Draw()
{
    // A terminal that has not taken the last redraw gets none more until it
    // has: the boards' events never wait for it.
    if (Output::Pending())
        return;
    changed_ = false;
    const TTerminalSize size = TerminalSize(StandardError);
    if (size.columns != shownColumns_)
        Erase();
    shownColumns_ = size.columns;
    std::vector<std::string> frame = Frame(static_cast<std::size_t>(size.rows));
    for (std::string& line : frame)
        line = CutToWidth(Text(line), size.columns).toStdString();
    std::size_t first = 0;
    while (first < frame.size() && first < shown_.size() && frame[first] == shown_[first])
        ++first;
    if (first == frame.size() && first == shown_.size())
        return;
    std::string out = "\r";
    if (shown_.size() > first)
        out += RowsUp(shown_.size() - first);
    std::size_t unchanged = 0;
    for (std::size_t k = first; k < frame.size(); ++k) {
        if (k < shown_.size() && frame[k] == shown_[k]) {
            ++unchanged;
            continue;
        }
        if (unchanged > 0)
            out += RowsDown(unchanged);
        unchanged = 0;
        out += "\r" + frame[k] + ClearToRowEnd + "\n";
    }
    if (unchanged > 0)
        out += RowsDown(unchanged);
    if (frame.size() < shown_.size())
        out += ClearRows(shown_.size() - frame.size());
    Output::Write(StandardError, std::move(out));
    shown_ = std::move(frame);
}

// Moves up over the rows the drawn lines take now: a terminal that has
// narrowed since rewraps them over more rows.
void TReporter::Erase()
{
    if (shown_.empty())
        return;
    const qsizetype columns = TerminalSize(StandardError).columns;
    std::size_t rows = 0;
    for (const std::string& line : shown_)
        rows += static_cast<std::size_t>(std::max<qsizetype>(1, (Text(line).size() + columns - 1) / columns));
    Output::Write(StandardError, "\r" + RowsUp(rows) + ClearRows(rows));
    shown_.clear();
}

std::string TReporter::RunProgressLine() const
{
    std::int64_t sent = 0;
    std::int64_t total = 0;
    for (const TBoardLine& line : lines_) {
        sent += line.done;
        total += line.total;
    }
    const std::int64_t percent = total > 0 ? sent * 100 / total : 0;
    return "orvenda-update: " + FleetLine() + ", " + std::to_string(percent) + " % of their bytes sent";
}
