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

std::string StopText(const ETransferStopped& stopped, bool serial)
{
    return stopped.WhyStopped() == ETransferStopped::Reason::Silence ? SilentBoardText(stopped.what(), serial)
                                                                     : stopped.what();
}

// A transfer that ran to its end: its ending and why. Without a transport
// nothing went out, whatever the run did.
void TakeEnding(const TSession& session, TBoardResult& result)
{
    if (!session.Link().Carries()) {
        result = NoTransport(result.board);
        return;
    }
    result.outcome = OutcomeOf(session.Tally());
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
        // By the operator, a signal, a silent board or a write that did not
        // complete: stopped all the same.
        result.outcome = Ending::Stopped;
        result.message = StopText(stopped, !session.Link().ReadsEachAnswer());
    } catch (const ELinkNotOpened& error) {
        // A front end found the link unusable before anything went out.
        result = BoardNotHad(board, error.what());
    } catch (const EIdException& error) {
        // A socket that could not send the first frame (no route) is a link
        // that could not be used, told once; a later failure broke the transfer.
        if (session.Tally().framesSent == 0) {
            result = BoardNotHad(board, SocketFailureText(board, error));
        } else {
            result.outcome = Ending::Failed;
            result.message = SocketFailureText(board, error);
        }
        result.failure = std::current_exception();
    } catch (const std::exception& error) {
        result.outcome = Ending::Failed;
        result.message = OneLine(error.what());
        result.failure = std::current_exception();
    }
    result.seconds = static_cast<double>(clock.elapsed()) / MillisecondsPerSecond;
    TakeTally(session.Tally(), result);
    return result;
}
