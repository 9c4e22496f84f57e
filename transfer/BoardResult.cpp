#include "transfer/BoardResult.h"

#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>

#include "network/IdException.h"
#include "transfer/ErrorText.h"
#include "transfer/LinkSettings.h"

TBoardResult BoardNotHad(const std::string& board, const std::string& why)
{
    TBoardResult result;
    result.board = board;
    result.outcome = Ending::LinkFailed;
    result.message = why;
    result.nothingSent = true;
    return result;
}

double RateOf(const TBoardResult& result)
{
    return result.seconds > 0 ? static_cast<double>(result.bytes) / result.seconds : 0.0;
}

namespace {

// The request as a technician names it.
struct TRequestWords {
    const char* request;
    const char* words;
};
constexpr std::array<TRequestWords, 5> RequestWords = {{
    {"GetBootError", "the boot-error query"},
    {"GetNumberofDataFiles", "the block query"},
    {"GetFlashInfo", "the flash-info query"},
    {"CreateFlashFile", "the flash-file creation"},
    {"CreateDataFile", "the data-file creation"},
}};

std::string WordsFor(const std::string& request)
{
    const auto match = std::find_if(RequestWords.begin(), RequestWords.end(),
                                    [&](const TRequestWords& words) { return request == words.request; });
    return match == RequestWords.end() ? request : match->words;
}

// Where a failure came: after its block, or, when the board answered more
// than once, after that block at the latest.
std::string AfterBlock(std::int64_t block, bool uncertain = false)
{
    std::string text = block > 0 ? " after block " + std::to_string(block) : " before the first block";
    if (uncertain)
        text += block > 0 ? " at the latest (answers came more than once)" : " (answers came more than once)";
    return text;
}

std::string Seconds(int milliseconds)
{
    return QString::number(milliseconds / 1000.0).toStdString() + " s";
}

std::string Plural(int count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// "the board refused settings.bin (CreateFlashFile, result 9); it was not
// written", "the board reported boot error 3 after block 257".
std::string FirstBoardErrorClause(const TSessionTally& tally)
{
    const TBoardError& first = tally.boardErrors.front();
    std::string text;
    if (!first.file.empty())
        text = "the board refused " + FileNameOf(first.file) + " (" + first.request + ", result " +
               std::to_string(int{first.result}) + "); it was not written";
    else if (first.bootError != 0)
        text = "the board reported boot error " + std::to_string(int{first.bootError}) +
               AfterBlock(first.block, tally.strayAnswers > 0);
    else
        text = "the board answered " + WordsFor(first.request) + AfterBlock(first.block, tally.strayAnswers > 0) +
               " with result " + std::to_string(int{first.result});
    if (tally.boardErrorCount > 1)
        text += " (" + Plural(tally.boardErrorCount, "board-reported error") + " in all)";
    return text;
}

// "no answer to the boot-error query after block 12 within 10 s".
std::string FirstMissingClause(const TSessionTally& tally, bool serial)
{
    std::string text = MissingAnswerText(*tally.firstMissing);
    if (tally.missingAnswers > 1)
        text += " (" + Plural(tally.missingAnswers, "answer") + " missing in all)";
    return text + ": " + SilenceHint(serial);
}

} // namespace

void AtBestUnconfirmed(TBoardResult& result, const std::string& cause)
{
    if (result.outcome != Ending::Updated && result.outcome != Ending::Unconfirmed)
        return;
    result.outcome = Ending::Unconfirmed;
    result.message += (result.message.empty() ? "" : "; ") + cause;
}

std::string MissingAnswerText(const TMissingAnswer& missing)
{
    return "no answer to " + WordsFor(missing.request) + AfterBlock(missing.block) + " within " +
           Seconds(missing.watchdogMs);
}

Ending OutcomeOf(const TSessionTally& tally)
{
    if (tally.boardErrorCount > 0)
        return Ending::Failed;
    const bool clean = tally.missingAnswers == 0 && tally.strayAnswers == 0 && tally.filesNotWritten.empty() &&
                       !tally.accountOpen;
    return clean ? Ending::Updated : Ending::Unconfirmed;
}

std::string EndingReason(const TSessionTally& tally, bool serial)
{
    std::vector<std::string> clauses;
    if (tally.boardErrorCount > 0 && !tally.boardErrors.empty())
        clauses.push_back(FirstBoardErrorClause(tally));
    if (tally.firstMissing)
        clauses.push_back(FirstMissingClause(tally, serial));
    if (tally.strayAnswers > 0)
        clauses.push_back(Plural(tally.strayAnswers, "stray frame") +
                          " from the board (repeated, late or no answer to the request awaited)");
    if (tally.accountOpen)
        clauses.push_back("stopped before the board was quiet: what it sent last is unknown");
    std::string text;
    for (const std::string& clause : clauses)
        text += (text.empty() ? "" : "; ") + clause;
    return text;
}

std::string DescribeBoardErrors(const TSessionTally& tally)
{
    if (tally.boardErrors.empty())
        return {};
    const TBoardError& first = tally.boardErrors.front();
    std::string what = first.bootError != 0 ? "boot error " + std::to_string(first.bootError)
                                            : "result " + std::to_string(first.result);
    std::string text = "The board reported a failure: its answer to " + first.label + " carried " + what +
                       AfterBlock(first.block, tally.strayAnswers > 0) + ".";
    if (tally.boardErrorCount > 1)
        text += " " + std::to_string(tally.boardErrorCount) + " answers reported a failure in all.";
    return text;
}

std::string DescribeStrays(const TSessionTally& tally)
{
    if (tally.strayAnswers == 0)
        return {};
    return std::to_string(tally.strayAnswers) +
           " frames from the board were no answer to the request waited for (garbled, cut short, repeated or "
           "another answer) and were dropped.";
}

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
        // A file that could not be read, or an empty image, stops the run
        // before its first frame.
        result.nothingSent = session.Tally().framesSent == 0;
    }
    result.seconds = std::chrono::duration<double>(std::chrono::milliseconds(clock.elapsed())).count();
    TakeTally(session.Tally(), result);
    return result;
}

namespace {

// A try called off before it started: stopped, nothing sent.
TBoardResult NotStarted(const std::string& board)
{
    TBoardResult result;
    result.board = board;
    result.outcome = Ending::Stopped;
    result.message = "not started";
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
std::optional<TBoardResult> Refused(TBoardUpdate& board, bool start)
{
    ++board.tries;
    const std::string busy = TakeLock(board);
    if (!busy.empty())
        return Recorded(board, BoardNotHad(board.name, busy));
    if (!start)
        return Recorded(board, NotStarted(board.name));
    if (!board.notHad.empty())
        return Recorded(board, BoardNotHad(board.name, board.notHad));
    return std::nullopt;
}

} // namespace

TBoardResult TryBoard(TBoardUpdate& board, TTryEvents& events, bool start)
{
    if (std::optional<TBoardResult> refused = Refused(board, start))
        return *refused;
    return RunOverLink(board, events);
}

TBoardResult TryBoard(TBoardUpdate& board, TSession& session)
{
    if (std::optional<TBoardResult> refused = Refused(board, true))
        return *refused;
    return RunOnSession(board, session);
}
