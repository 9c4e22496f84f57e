// What orvenda-update prints while boards are updated. Safe to call from the
// boards' threads at once.
//
// - Terminal: one line per board redrawn in place (phase, percent, bytes,
//   rate, time left), each cut to the terminal's width so that it takes one
//   screen row; warnings and errors above them; at the end one summary line
//   per board, cut the same way.
// - Json: one JSON object per line on standard output: start, status,
//   progress (at most ten a second per board), warning, error, done.
// - Quiet (standard output is no terminal): only errors (on standard error)
//   and the whole summary; no progress and no warnings.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "transfer/BoardResult.h"

class TransferProgress;

class TReporter {
public:
    enum class Mode { Terminal, Json, Quiet };

    // The mode for the standard output at hand and the --json option.
    static Mode ModeFor(bool json);

    TReporter(Mode mode, std::vector<std::string> boards);

    void Start(std::size_t board, const std::string& file, std::int64_t size);
    void Status(std::size_t board, const std::string& text);
    void Progress(std::size_t board, const TransferProgress& progress);
    // An answer has been awaited this many whole seconds; 0 when it came.
    void Waiting(std::size_t board, int seconds);
    void Warning(std::size_t board, const std::string& text);
    void Error(std::size_t board, const std::string& text);
    void Done(std::size_t board, const TBoardResult& result);
    // One line per board; nothing in Json mode, whose done objects say it all.
    void Summary(const std::vector<TBoardResult>& results);
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
    // What the terminal shows of one board.
    struct TBoardLine {
        std::string text;   // what follows the board's name
        std::string phase;  // "erasing", "burning, do not power off", or empty
        int waitingSeconds = 0;
        QElapsedTimer lastProgress;  // when progress was last shown
    };

    std::string LineOf(std::size_t board) const;
    void Redraw();
    void ClearLines();
    void Message(const std::string& board, const char* kind, const std::string& text);

    Mode mode_;
    std::vector<std::string> boards_;
    std::vector<TBoardLine> lines_;
    // Terminal: the lengths of the lines on the screen, to find how many
    // screen rows they take at the terminal's width of the moment.
    std::vector<qsizetype> drawn_;
    std::mutex mutex_;
};
