// What orvenda-update prints while boards are updated. Safe to call from the
// boards' threads at once.
//
// - Terminal: one line per board redrawn in place (percent, bytes, rate, time
//   left), warnings and errors above them, a summary line per board at the end.
// - Json: one JSON object per line on standard output: start, status,
//   progress (at most ten a second per board), warning, error, done.
// - Quiet (standard output is no terminal): only errors (on standard error)
//   and the summary; no progress and no warnings.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cli/BoardResult.h"

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
    void Warning(std::size_t board, const std::string& text);
    void Error(std::size_t board, const std::string& text);
    void Done(std::size_t board, const TBoardResult& result);
    // One line per board; nothing in Json mode, whose done objects say it all.
    void Summary(const std::vector<TBoardResult>& results);
    // The end of a board search and where it looked (TSearchPlan's places).
    // Json: a done object with the boards found and the places searched.
    // Otherwise, when no board answered, one line on standard error that
    // names the places; the boards found are the caller's to print.
    static void SearchEnded(Mode mode, const std::vector<std::string>& boards, const std::vector<std::string>& places);

private:
    // What the terminal shows of one board.
    struct TBoardLine {
        std::string text;
        QElapsedTimer lastProgress;  // Json: when progress was last written
    };

    void Redraw();
    void ClearLines();
    void Message(const std::string& board, const char* kind, const std::string& text);

    Mode mode_;
    std::vector<std::string> boards_;
    std::vector<TBoardLine> lines_;
    std::size_t drawn_ = 0;  // Terminal: how many board lines are on the screen
    std::mutex mutex_;
};
