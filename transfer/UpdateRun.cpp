#include "transfer/UpdateRun.h"

#include <QElapsedTimer>

#include "network/IdException.h"
#include "transfer/ErrorText.h"
#include "transfer/BoardResult.h"
#include "transfer/LinkSettings.h"

namespace {

constexpr double MillisecondsPerSecond = 1000.0;

void RunRequest(TSession& session, const TUpdateRequest& request)
{
    switch (request.kind) {
    case HistoryKind::Firmware:
        session.RunImage(request.files.front(), FirmwareBurnBlock);
        break;
    case HistoryKind::Bios:
        session.RunImage(request.files.front(), BiosBurnBlock);
        break;
    case HistoryKind::Flash:
        session.CopyFlashFile(request.files);
        break;
    case HistoryKind::Data:
        session.CopyDataFile(request.files.front());
        break;
    }
}

BoardOutcome OutcomeOfStop(const ETransferStopped& stopped)
{
    return stopped.WhyStopped() == ETransferStopped::Reason::Operator ? BoardOutcome::Interrupted
                                                                      : BoardOutcome::Stopped;
}

std::string StopText(const ETransferStopped& stopped, bool serial)
{
    return stopped.WhyStopped() == ETransferStopped::Reason::Silence ? SilentBoardText(stopped.what(), serial)
                                                                     : stopped.what();
}

BoardOutcome BoardOutcomeOf(Ending ending)
{
    switch (ending) {
    case Ending::Updated:
        return BoardOutcome::Updated;
    case Ending::Unconfirmed:
        return BoardOutcome::Unconfirmed;
    default:
        return BoardOutcome::Failed;
    }
}

// A transfer that ran to its end: its ending and why. Without a transport
// nothing went out, whatever the run did.
void TakeEnding(const TSession& session, TBoardResult& result)
{
    if (!session.Link().Carries()) {
        result.outcome = BoardOutcome::Failed;
        result.message = UsbHasNoTransport;
        result.nothingSent = true;
        return;
    }
    result.outcome = BoardOutcomeOf(OutcomeOf(session.Tally()));
    result.message = EndingReason(session.Tally(), !session.Link().ReadsEachAnswer());
}

void TakeTally(const TSessionTally& tally, TBoardResult& result)
{
    result.missingAnswers = tally.missingAnswers;
    result.boardErrors = tally.boardErrorCount;
    result.strayAnswers = tally.strayAnswers;
    if (!tally.boardErrors.empty())
        result.firstBoardError = tally.boardErrors.front();
    // What went nowhere is not recorded as the board's.
    if (result.nothingSent)
        return;
    result.bytes = tally.bytesSent;
    result.sentFiles = tally.sentFiles;
}

} // namespace

TBoardResult RunUpdate(TSession& session, const TUpdateRequest& request, const std::string& board)
{
    TBoardResult result;
    result.board = board;
    QElapsedTimer clock;
    clock.start();
    session.StartTally();
    try {
        RunRequest(session, request);
        TakeEnding(session, result);
    } catch (const ETransferStopped& stopped) {
        result.outcome = OutcomeOfStop(stopped);
        result.message = StopText(stopped, !session.Link().ReadsEachAnswer());
    } catch (const ELinkNotOpened& error) {
        // A front end found the link unusable before anything went out.
        result.outcome = BoardOutcome::LinkFailed;
        result.message = error.what();
        result.nothingSent = true;
    } catch (const EIdException& error) {
        result.message = SocketFailureText(board, error);
        // A socket that could not send the first frame (no route) is a link
        // that could not be used, told once; a later failure broke the transfer.
        result.outcome = session.Tally().framesSent == 0 ? BoardOutcome::LinkFailed : BoardOutcome::Failed;
        result.nothingSent = session.Tally().framesSent == 0;
        result.failure = std::current_exception();
    } catch (const std::exception& error) {
        result.outcome = BoardOutcome::Failed;
        result.message = OneLine(error.what());
        result.failure = std::current_exception();
    }
    result.seconds = static_cast<double>(clock.elapsed()) / MillisecondsPerSecond;
    TakeTally(session.Tally(), result);
    return result;
}
