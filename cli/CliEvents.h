// One board's update: the session's events as the command line reports them.
#pragma once

#include <QElapsedTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "transfer/board/BoardTry.h"
#include "transfer/report/Progress.h"
#include "transfer/engine/Session.h"

class TReporter;
class TTrace;

class TCliEvents : public TTryEvents {
public:
    // `total`: the bytes of every file the transfer sends; `trace`: where
    // --trace writes the frames, under the board's `name` (none without it).
    TCliEvents(TReporter& reporter, std::size_t board, std::int64_t total, bool keepGoing, TTrace* trace = nullptr,
               std::string name = {});

    void Status(const std::string& text) override;
    void Phase(BoardPhase phase) override;
    void FileStarted(const std::string& path, std::int64_t size) override;
    void BlockSent(std::int64_t gaugePosition, std::int64_t bytesDone, std::int64_t total) override;
    void Frame(FrameDirection direction, std::span<const Byte> bytes, bool stray) override;
    void MissingAnswer(const TMissingAnswer& missing) override;
    void ShortWrite() override;
    void FileNotWritten(const std::string& path, const std::string& reason) override;
    // A board that has not answered MissingAnswersBeforeAsking times in a row
    // is given up, unless --keep-going.
    bool StopAfterSilence(int missingInARow) override;
    // The link's pulse while a wait runs (every PulseInterval): tells the
    // reporter how long the answer to the last request sent has been
    // awaited, once it is over a second.
    void Pulse() override;
    std::chrono::milliseconds PulseInterval() const override { return ShowWaitInterval; }
    static constexpr std::chrono::milliseconds ShowWaitInterval{250};
    // Why the trace lacks frames of this board's run; empty while it has them all.
    std::string Shortfall() const override { return traceLost_; }

private:
    // Tells the reporter how long the answer has been awaited, when that
    // changed.
    void ShowWait(int seconds);

    TReporter& reporter_;
    std::size_t board_;
    bool keepGoing_;
    TransferProgress progress_;
    std::int64_t filesBefore_ = 0;  // bytes of the files already sent
    std::int64_t fileDone_ = 0;     // bytes of the current file sent
    // The last status told, kept in place: the session repeats its status
    // after every block, and a copy on the heap would be one more cache line
    // per block and board. A longer text is told every time.
    static constexpr std::size_t KeptStatusSize = 48;
    std::array<char, KeptStatusSize> lastStatus_{};
    std::size_t lastStatusSize_ = KeptStatusSize + 1;  // none kept yet
    TTrace* trace_;
    std::string name_;
    QElapsedTimer awaitedSince_;  // when the last request went out; invalid once answered
    int waitShown_ = 0;           // the whole seconds of waiting the reporter shows
    QElapsedTimer progressTaken_; // when the reporter last took the progress
    std::int64_t progressTold_ = -1; // and how many bytes it said were sent
    bool sentAny_ = false;
    std::string traceLost_;
};
