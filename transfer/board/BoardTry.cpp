#include "transfer/board/BoardTry.h"

#include <QElapsedTimer>

#include <chrono>
#include <memory>

#include "network/IdException.h"
#include "transfer/engine/LinkSettings.h"
#include "transfer/report/EndingTexts.h"
#include "transfer/report/ErrorText.h"

namespace {

// An update over a link without transport (USB): whatever its flow did,
// nothing reached the board, and it failed.
TBoardResult NoTransport(const std::string& board)
{
    TBoardResult result = BoardNotHad(board, UsbHasNoTransport);
    result.outcome = Ending::Failed;
    return result;
}

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

std::string StopText(const ETransferStopped& stopped, const TSession& session)
{
    if (stopped.WhyStopped() != ETransferStopped::Reason::Silence)
        return stopped.what();
    return SilentBoardText(stopped.what(), !session.Link().ReadsEachAnswer(), session.Tally().strayAnswers > 0);
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

// A run that broke off still tells what the board had reported before.
void AddBoardErrors(const TSessionTally& tally, TBoardResult& result)
{
    const std::string clause = BoardErrorsClause(tally);
    if (!clause.empty())
        result.message += (result.message.empty() ? "" : "; ") + clause;
}

void TakeTally(const TSessionTally& tally, TBoardResult& result)
{
    result.missingAnswers = tally.missingAnswers;
    result.boardErrors = tally.boardErrorCount;
    result.strayAnswers = tally.strayAnswers;
    result.strangerFrames = tally.strangerFrames;
    result.filesNotWritten = tally.filesNotWritten;
    result.notWrittenReasons = tally.notWrittenReasons;
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
    session.StartTally();
    if (!session.Link().Carries() && !request.playsWithoutTransport)
        return NoTransport(board);
    TBoardResult result;
    result.board = board;
    QElapsedTimer clock;
    clock.start();
    try {
        RunRequest(session, request);
        session.CloseAccount();
        TakeEnding(session, result);
    } catch (const ETransferStopped& stopped) {
        // By the operator, a signal, a silent board or a write that did not
        // complete: stopped all the same.
        result.outcome = Ending::Stopped;
        result.message = StopText(stopped, session);
        AddBoardErrors(session.Tally(), result);
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
            AddBoardErrors(session.Tally(), result);
        }
        result.failure = std::current_exception();
    } catch (const std::exception& error) {
        result.outcome = Ending::Failed;
        result.message = OneLine(error.what());
        AddBoardErrors(session.Tally(), result);
        result.failure = std::current_exception();
        // A file that could not be read, or an empty image, stops the run
        // before its first frame.
        result.nothingSent = session.Tally().framesSent == 0;
    }
    result.seconds = std::chrono::duration<double>(std::chrono::milliseconds(clock.elapsed())).count();
    TakeTally(session.Tally(), result);
    return result;
}

namespace {

// A try called off before it started: nothing sent.
TBoardResult NotStarted(const std::string& board, const std::string& why)
{
    TBoardResult result = BoardNotHad(board, why);
    result.outcome = Ending::NotStarted;
    return result;
}

// The board's lock, taken by its first try; a name without a board has
// nothing to lock. Empty, or why the board cannot be had.
std::string TakeLock(TBoardUpdate& board)
{
    if (board.tries > 1 || board.identity.key.empty())
        return {};
    try {
        board.lock = LockBoard(board.identity);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return {};
}

// The try as it ended, numbered and recorded.
TBoardResult Recorded(TBoardUpdate& board, TBoardResult result)
{
    result.attempt = board.tries;
    board.historyWarning.clear();
    if (board.history != nullptr)
        board.historyWarning = board.history->Record(HistoryLinkOf(board.settings.kind), board.request, result);
    return result;
}

// The try over the session as it stands, recorded once its account is
// closed; `events`, when the try has its own, may keep it from "updated".
TBoardResult RunOnSession(TBoardUpdate& board, TSession& session, const TTryEvents* events = nullptr)
{
    session.SetWatchdogMs(board.watchdogMs);
    TBoardResult result = RunUpdate(session, board.request, board.name);
    const std::string shortfall = events != nullptr ? events->Shortfall() : std::string();
    if (!shortfall.empty())
        AtBestUnconfirmed(result, shortfall);
    return Recorded(board, std::move(result));
}

// The try over the board's own link, opened for it. The link outlives the
// session: the port stops feeding it only when the link closes.
TBoardResult RunOverLink(TBoardUpdate& board, TTryEvents& events)
{
    std::unique_ptr<TOpenLink> open;
    try {
        open = OpenLink(board.settings, board.identity.address);
    } catch (const std::runtime_error& error) {
        return Recorded(board, BoardNotHad(board.name, error.what()));
    }
    TBoardLink& link = open->Link();
    TSession session(events);
    session.UseLink(link);
    link.SetPulse([&events] { events.Pulse(); }, events.PulseInterval());
    TBoardResult result = RunOnSession(board, session, &events);
    link.SetReceiver(nullptr);
    return result;
}

// What every try does before its run: the lock on the first, and the ends of
// a try that cannot run; nothing when it may run.
std::optional<TBoardResult> Refused(TBoardUpdate& board)
{
    ++board.tries;
    if (!board.callOff.empty())
        return Recorded(board, NotStarted(board.name, board.callOff));
    const std::string busy = TakeLock(board);
    if (!busy.empty())
        return Recorded(board, BoardNotHad(board.name, busy));
    if (!board.notHad.empty())
        return Recorded(board, BoardNotHad(board.name, board.notHad));
    return std::nullopt;
}

} // namespace

TBoardResult TryBoard(TBoardUpdate& board, TTryEvents& events)
{
    if (std::optional<TBoardResult> refused = Refused(board))
        return *refused;
    return RunOverLink(board, events);
}

TBoardResult TryBoard(TBoardUpdate& board, TSession& session)
{
    if (std::optional<TBoardResult> refused = Refused(board))
        return *refused;
    return RunOnSession(board, session);
}
