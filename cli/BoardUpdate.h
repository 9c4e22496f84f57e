// One board's update: the session's events as the command line reports them,
// and the run of the chosen transfer on a session whose link is set up.
#pragma once

#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <cstdint>
#include <span>
#include <string>

#include "cli/BoardResult.h"
#include "cli/Options.h"
#include "transfer/Outcome.h"
#include "transfer/Progress.h"
#include "transfer/Session.h"

class TReporter;
class TTrace;

class TCliEvents : public TSessionEvents {
public:
    // `total`: the bytes of every file the transfer sends; `trace`: where
    // --trace writes the frames, under the board's `name` (none without it).
    TCliEvents(TReporter& reporter, std::size_t board, std::int64_t total, bool keepGoing, TTrace* trace = nullptr,
               std::string name = {});

    void Status(const std::string& text) override;
    void FileStarted(const std::string& path, std::int64_t size) override;
    void BlockSent(std::int64_t gaugePosition, std::int64_t bytesDone, std::int64_t total) override;
    void Frame(FrameDirection direction, std::span<const Byte> bytes, bool stray) override;
    void Answer(const DecodeOutcome& outcome) override;
    void MissingAnswer(const std::string& label) override;
    void ShortWrite() override;
    void FileNotWritten(const std::string& path, const std::string& reason) override;
    // A board that has not answered MissingAnswersBeforeAsking times in a row
    // is given up, unless --keep-going.
    bool StopAfterSilence(int missingInARow) override;
    // The serial wait: runs the thread's events (the port's receive events
    // among them) until one came or the deadline passed.
    void AwaitEvents(const QDeadlineTimer& deadline) override;
    void Service() override;

    // The request whose answer first carried a board-reported error, by its
    // answer's name (the network wait has no label of its own); empty when
    // none did.
    const std::string& FirstErrorRequest() const { return firstErrorRequest_; }

private:
    // Tells the reporter how long the answer to the last request sent has
    // been awaited, once it is over a second.
    void ShowWait();

    TReporter& reporter_;
    std::size_t board_;
    bool keepGoing_;
    TransferProgress progress_;
    std::int64_t filesBefore_ = 0;  // bytes of the files already sent
    std::int64_t fileDone_ = 0;     // bytes of the current file sent
    std::string lastStatus_;
    TTrace* trace_;
    std::string name_;
    QElapsedTimer awaitedSince_;  // when the last request went out; invalid once answered
    std::string firstErrorRequest_;
};

// Runs the transfer that `options` chooses on `session` and tells what it
// came to. Ends early, with the reason in the result, on a file, port or socket
// error, on Ctrl-C, and after missed answers in a row.
TBoardResult UpdateBoard(TSession& session, TCliEvents& events, TReporter& reporter, std::size_t board,
                         const std::string& boardName, const TCliOptions& options);
