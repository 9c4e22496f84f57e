// What orvenda-update prints while boards are updated. The boards' events and
// the clock's thread that redraws the view call it at once; what it prints
// goes through Output, which the boards never wait for.
//
// - Live (standard error is a terminal that understands cursor movement): a
//   view on standard error redrawn in place at most ten times a second in
//   all, never taller than the terminal, a line per board and, for more than
//   one, the fleet's totals last: when the boards do not fit, only those that
//   failed and those in progress are listed, as many as fit. Only the lines
//   that changed are written again; warnings go above it.
// - Plain (any other standard error): one line per board when it starts and
//   when it ends, and a line of the whole run's progress at most every five
//   seconds; no cursor movement.
// - Json: one JSON object per line on standard output: start, status,
//   progress (at most ten a second per board, and a thousand a second in
//   all: with more than a hundred boards at once each board's comes less
//   often), warning, error, done.
// After Live and Plain, the result goes to standard output: every board's
// result whole (wrapped to the terminal's width), failed and unconfirmed
// boards last, then the totals.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transfer/board/BoardTry.h"

class TransferProgress;

class TReporter {
public:
    enum class Mode { Live, Plain, Json };

    // The mode for the standard error at hand, $TERM and the --json option.
    static Mode ModeFor(bool json);

    TReporter(Mode mode, std::vector<std::string> boards);
    ~TReporter();
    TReporter(const TReporter&) = delete;
    TReporter& operator=(const TReporter&) = delete;

    void Start(std::size_t board, const std::string& file, std::int64_t size);
    void Status(std::size_t board, const std::string& text);
    void Phase(std::size_t board, BoardPhase phase);
    // How often a board's progress is taken: at most ten times a second, and
    // less often with more than a hundred boards running. A board's events
    // keep to it, so that a block between costs the reporter nothing.
    std::chrono::milliseconds ProgressInterval() const;
    // Takes a board's progress; called at most once a ProgressInterval(), and
    // for the last byte.
    void Progress(std::size_t board, const TransferProgress& progress);
    // An answer has been awaited this many whole seconds; 0 when it came.
    void Waiting(std::size_t board, int seconds);
    void Warning(std::size_t board, const std::string& text);
    void Error(std::size_t board, const std::string& text);
    void Done(std::size_t board, const TBoardResult& result);
    // Ends the view, then prints every board's result and the totals with the
    // run's exit status; in Json mode a totals object alone (the run's id, the
    // count of each ending, the exit status): the done objects told the rest.
    void Summary(const std::vector<TBoardResult>& results, int exitStatus, const QString& run);
    // The end of a board search and where it looked (TSearchPlan's places).
    // Json: a done object with the boards found and the places searched.
    // Otherwise, when no board answered, one line on standard error that
    // names the places; the boards found are the caller's to print.
    // Every place a send to failed is named with its reason, whatever was found.
    static void SearchEnded(Mode mode, const std::vector<std::string>& boards, const std::vector<std::string>& places,
                            const std::vector<std::string>& failed = {});
    // Json: the error event of a run that ends before any board reports (a
    // bad command line, a file that cannot be read, a wrong password).
    static void Ended(const std::string& message, int exitStatus);

private:
    enum class BoardState { Waiting, Running, Updated, NotUpdated };

    // What the view shows of one board.
    struct TBoardLine {
        BoardState state = BoardState::Waiting;
        std::string text;   // the file's name while running, the result once done
        std::string phase;  // "erasing", "burning, do not power off", or empty
        std::string pace;   // "11.2 kB/s   0:31 left"
        int percent = 0;
        int waitingSeconds = 0;
        std::int64_t done = 0;   // bytes sent
        std::int64_t total = 0;  // bytes to send
    };

    std::string LineOf(std::size_t board) const;
    // "40 of 128 boards done (38 updated, 2 not updated), 32 in progress, 56 queued".
    std::string FleetLine() const;
    // The lines of the view for a terminal of `rows` rows.
    std::vector<std::string> Frame(std::size_t rows) const;
    // Live: writes the lines of the frame that differ from those shown.
    void Draw();
    // Live: clears the view, leaving the cursor where it began.
    void Erase();
    // Plain: the whole run's progress in one line.
    std::string RunProgressLine() const;
    // The drawing clock: Live redraws what changed, Plain tells the progress.
    void Tick();
    // Ends the clock's thread; what it would have drawn is left to the caller.
    void StopClock();
    void Changed();
    void Message(const std::string& board, const char* kind, const std::string& text);

    Mode mode_;
    std::vector<std::string> boards_;
    std::vector<TBoardLine> lines_;
    // Boards started and not done: written under the mutex, read without it
    // by ProgressInterval().
    std::atomic<std::size_t> running_ = 0;
    // Live: the lines on the screen and the width they were drawn at.
    std::vector<std::string> shown_;
    int shownColumns_ = 0;
    bool changed_ = false;
    QElapsedTimer lastRunProgress_;  // Plain: when the progress line was last printed
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    std::thread clock_;
};
