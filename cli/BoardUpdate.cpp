#include "cli/BoardUpdate.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

#include "cli/ErrorText.h"
#include "cli/Interrupt.h"
#include "cli/Reporter.h"
#include "cli/Trace.h"

namespace {

constexpr std::int32_t FirmwareBurnBlock = 0;
constexpr std::int32_t BiosBurnBlock = 1;
// The label the session gives every wait on the network.
const std::string NetworkWaitLabel = "Net";

// The serial wait wakes at least this often to notice Ctrl-C.
constexpr qint64 InterruptSliceMs = 50;
// A wait for an answer is shown once it is longer than this, in whole
// seconds of this length.
constexpr qint64 ShownWaitMs = 1000;

void RunTransfer(TSession& session, const TCliOptions& options)
{
    switch (options.command) {
    case CliCommand::Firmware:
        session.RunImage(options.files.front(), FirmwareBurnBlock);
        break;
    case CliCommand::Bios:
        session.RunImage(options.files.front(), BiosBurnBlock);
        break;
    case CliCommand::Flash:
        session.CopyFlashFile(options.files);
        break;
    case CliCommand::Data:
        session.CopyDataFile(options.files.front());
        break;
    case CliCommand::Search:
    case CliCommand::History:
        break;
    }
}

// The request an answer answers, spelled as the serial waits name it:
// "Get Boot Error" and "answer to GetFlashInfo" answer GetBootError and
// GetFlashInfo.
std::string RequestNameOf(std::string answer)
{
    const std::string answerTo = "answer to ";
    if (answer.rfind(answerTo, 0) == 0)
        answer.erase(0, answerTo.size());
    std::erase(answer, ' ');
    return answer;
}

BoardOutcome BoardOutcomeOf(const TSessionTally& tally)
{
    return OutcomeOf(tally) == HistoryOutcome::Updated ? BoardOutcome::Updated : BoardOutcome::Warnings;
}

BoardOutcome OutcomeOf(const ESessionEnded& ended)
{
    return ended.WhyEnded() == ESessionEnded::Reason::Interrupted ? BoardOutcome::Interrupted
                                                                  : BoardOutcome::Stopped;
}

} // namespace

TCliEvents::TCliEvents(TReporter& reporter, std::size_t board, std::int64_t total, bool keepGoing, TTrace* trace,
                       std::string name)
    : reporter_(reporter), board_(board), keepGoing_(keepGoing), progress_(total), trace_(trace),
      name_(std::move(name))
{
}

void TCliEvents::Frame(FrameDirection direction, std::span<const Byte> bytes, bool stray)
{
    if (trace_ != nullptr)
        trace_->Frame(name_, direction, bytes, stray);
    if (direction == FrameDirection::Sent) {
        awaitedSince_.start();
    } else if (!stray && awaitedSince_.isValid()) {
        awaitedSince_.invalidate();
        reporter_.Waiting(board_, 0);
    }
}

void TCliEvents::Answer(const DecodeOutcome& outcome)
{
    const bool boardError = outcome.result != 0 || outcome.bootError != 0;
    if (outcome.answer != nullptr && boardError && firstErrorRequest_.empty())
        firstErrorRequest_ = RequestNameOf(outcome.answer->name);
}

void TCliEvents::ShowWait()
{
    if (awaitedSince_.isValid() && awaitedSince_.hasExpired(ShownWaitMs))
        reporter_.Waiting(board_, static_cast<int>(awaitedSince_.elapsed() / ShownWaitMs));
}

void TCliEvents::Status(const std::string& text)
{
    // The session repeats its status after every block; a change is news.
    if (text == lastStatus_)
        return;
    lastStatus_ = text;
    reporter_.Status(board_, text);
}

void TCliEvents::FileStarted(const std::string& path, std::int64_t size)
{
    filesBefore_ += fileDone_;
    fileDone_ = 0;
    reporter_.Start(board_, path, size);
}

void TCliEvents::BlockSent(std::int64_t /*gaugePosition*/, std::int64_t bytesDone, std::int64_t /*total*/)
{
    fileDone_ = bytesDone;
    progress_.Record(filesBefore_ + fileDone_);
    reporter_.Progress(board_, progress_);
    // Without a link (USB) a transfer has no waits; Ctrl-C ends it here.
    EndIfInterrupted();
}

void TCliEvents::MissingAnswer(const std::string& label)
{
    reporter_.Warning(board_, "no answer to " + label);
}

bool TCliEvents::StopAfterSilence(int /*missingInARow*/)
{
    return !keepGoing_;
}

void TCliEvents::ShortWrite()
{
    reporter_.Warning(board_, "a serial write did not complete within the watchdog's interval");
}

void TCliEvents::FileNotWritten(const std::string& path, const std::string& reason)
{
    reporter_.Warning(board_, "'" + path + "' was not written: " + reason);
}

void TCliEvents::AwaitEvents(const QDeadlineTimer& deadline)
{
    EndIfInterrupted();
    // Wakes for every event (the port's receive events among them), at the
    // deadline, and in slices to notice Ctrl-C, without spinning.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 0, InterruptSliceMs)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    EndIfInterrupted();
    ShowWait();
}

void TCliEvents::Service()
{
    EndIfInterrupted();
    ShowWait();
}

TBoardResult UpdateBoard(TSession& session, TCliEvents& events, TReporter& reporter, std::size_t board,
                         const std::string& boardName, const TCliOptions& options)
{
    TBoardResult result;
    result.board = boardName;
    QElapsedTimer clock;
    clock.start();
    try {
        RunTransfer(session, options);
        result.outcome = BoardOutcomeOf(session.Tally());
    } catch (const ESessionEnded& ended) {
        result.outcome = OutcomeOf(ended);
        result.message = ended.what();
    } catch (const ETransferStopped& stopped) {
        result.outcome = BoardOutcome::Stopped;
        result.message = stopped.WhyStopped() == ETransferStopped::Reason::Silence ? SilentBoardText(stopped.what())
                                                                                   : stopped.what();
    } catch (const EIdException& error) {
        result.outcome = BoardOutcome::Failed;
        result.message = SocketFailureText(boardName, error);
        reporter.Error(board, result.message);
    } catch (const std::exception& error) {
        result.outcome = BoardOutcome::Failed;
        result.message = OneLine(error.what());
        reporter.Error(board, result.message);
    }
    const TSessionTally& tally = session.Tally();
    result.seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    result.bytes = tally.bytesSent;
    result.missingAnswers = tally.missingAnswers;
    result.boardErrors = tally.boardErrorCount;
    result.strayAnswers = tally.strayAnswers;
    result.sentFiles = tally.sentFiles;
    if (!tally.boardErrors.empty()) {
        result.firstBoardError = tally.boardErrors.front();
        // The network wait is labelled by its link alone; the answer names the request.
        if (result.firstBoardError->label == NetworkWaitLabel && !events.FirstErrorRequest().empty())
            result.firstBoardError->label = events.FirstErrorRequest();
    }
    return result;
}
