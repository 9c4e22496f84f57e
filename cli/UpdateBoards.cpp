#include "cli/UpdateBoards.h"

#include <algorithm>
#include <map>

#include "cli/CliEvents.h"
#include "cli/Interrupt.h"
#include "cli/Reporter.h"
#include "network/IdException.h"
#include "protocol/RuntimeErrors.h"
#include "transfer/SettingsFile.h"
#include "transfer/BoardLock.h"
#include "transfer/ErrorText.h"
#include "transfer/BoardResult.h"
#include "transfer/LinkScheduler.h"

namespace {

// A board that got nothing: the reason is told once, as its error; the
// summary says only that nothing was sent.
TBoardResult NothingSent(TReporter& reporter, std::size_t board, TBoardResult result)
{
    reporter.Error(board, result.message);
    return result;
}

// Whether the transfer ran to its end, so that its last requests deserve the
// time to leave the line; one that failed or was stopped closes at once.
bool RanToTheEnd(const TBoardResult& result)
{
    return result.outcome == Ending::Updated || result.outcome == Ending::Unconfirmed ||
           (result.outcome == Ending::Failed && !result.failure);
}

// The run of one try over its open link. The link outlives the session: the
// port stops feeding it only when the link closes.
TBoardResult RunOverLink(const TUpdatePlan& plan, TReporter& reporter, std::size_t board,
                         std::unique_ptr<TOpenLink> open)
{
    TBoardLink& link = open->Link();
    TCliEvents events(reporter, board, plan.totalBytes, plan.options.keepGoing, plan.trace, plan.boards[board]);
    TSession session(events);
    session.SetWatchdogMs(plan.options.watchdogMs);
    session.UseLink(link);
    link.SetPulse([&events] { events.ShowWait(); }, TCliEvents::ShowWaitInterval);
    TBoardResult result = RunUpdate(session, plan.request, plan.boards[board]);
    if (!events.TraceLost().empty())
        AtBestUnconfirmed(result, events.TraceLost());
    if (result.nothingSent)
        reporter.Error(board, result.message);
    else if (result.failure)
        reporter.Error(board, result.message);
    if (session.Tally().lastRequestUnanswered && RanToTheEnd(result))
        link.Finish(plan.options.watchdogMs);
    link.SetReceiver(nullptr);
    return result;
}

// One try of one board: its link, its session and the run. Serial: the
// port's receive events reach the session on this (the main) thread while the
// session waits for its answers; UDP: a socket of its own, waited on with
// every other board's.
TBoardResult UpdateOneBoard(const TUpdatePlan& plan, TReporter& reporter, std::size_t board)
{
    const std::string& name = plan.boards[board];
    const TPlannedBoard& planned = plan.identities[board];
    if (!planned.error.empty())
        return NothingSent(reporter, board, BoardNotHad(name, planned.error));
    std::unique_ptr<TOpenLink> open;
    try {
        open = OpenLink(BoardLinkSettings(plan.options, name), planned.identity.address);
    } catch (const std::runtime_error& error) {
        return NothingSent(reporter, board, BoardNotHad(name, error.what()));
    }
    // A link without transport would send nothing: no transfer is run over
    // it, and the board is not updated.
    if (!open->Link().Carries())
        return NothingSent(reporter, board, NoTransport(name));
    return RunOverLink(plan, reporter, board, std::move(open));
}

TBoardResult NotStarted(const std::string& host)
{
    TBoardResult result;
    result.board = host;
    result.outcome = Ending::Stopped;
    result.message = "not started";
    return result;
}

// What a try that failed or was stopped after sending leaves to another; a
// link that could not be used, an interrupted run or a sound update leave
// nothing.
bool WorthAnotherTry(const TBoardResult& result)
{
    return (result.outcome == Ending::Failed || result.outcome == Ending::Stopped) &&
           !result.nothingSent && !Interrupted();
}

// Reports a try of the board and tells it to the plan.
void TellTry(const TUpdatePlan& plan, TReporter& reporter, std::size_t board, const TBoardResult& result)
{
    if (plan.tried)
        plan.tried(BoardLinkSettings(plan.options, plan.boards[board]), result);
    reporter.Done(board, result);
}

// Takes the lock of a board the plan knows, so that no other updater gets
// between its tries; a name without an address has no board to lock.
std::optional<TBoardLock> LockPlannedBoard(const TUpdatePlan& plan, std::size_t board)
{
    const TPlannedBoard& planned = plan.identities[board];
    if (planned.identity.key.empty())
        return std::nullopt;
    return LockBoard(planned.identity);
}

// Runs `once` for the board until a try is worth no other or --retries more
// tries have been made, all under the board's lock; each try is reported and
// told to the plan.
template <typename Once>
TBoardResult WithRetries(const TUpdatePlan& plan, TReporter& reporter, std::size_t board, const Once& once)
{
    TBoardResult result;
    std::optional<TBoardLock> lock;
    try {
        lock = LockPlannedBoard(plan, board);
    } catch (const std::runtime_error& error) {
        result = NothingSent(reporter, board, BoardNotHad(plan.boards[board], error.what()));
        result.attempt = 1;
        TellTry(plan, reporter, board, result);
        return result;
    }
    for (int attempt = 1;; ++attempt) {
        result = once();
        result.attempt = attempt;
        TellTry(plan, reporter, board, result);
        if (attempt > plan.options.retries || !WorthAnotherTry(result))
            return result;
    }
}

// Each board has its own session and socket, at most --jobs of them at a
// time, all on this thread: while one board works on its block, the others'
// answers are taken. One board's failure never touches the others.
std::vector<TBoardResult> UpdateEveryUdpBoard(const TUpdatePlan& plan, TReporter& reporter)
{
    const std::size_t count = plan.boards.size();
    std::vector<TBoardResult> results(count);
    std::size_t next = 0;
    const auto worker = [&] {
        for (std::size_t k = next++; k < count; k = next++)
            results[k] = WithRetries(plan, reporter, k, [&] {
                return Interrupted() ? NotStarted(plan.boards[k]) : UpdateOneBoard(plan, reporter, k);
            });
    };
    const std::size_t jobs = plan.options.jobs > 0 ? std::min<std::size_t>(plan.options.jobs, count) : count;
    TLinkScheduler scheduler;
    for (std::size_t k = 0; k < jobs; ++k)
        scheduler.Spawn(worker);
    scheduler.Run();
    return results;
}

} // namespace

bool ApplySavedLink(TCliOptions& options, std::string& error)
{
    try {
        const std::optional<TSettingsRecord> record = ReadSettingsFile();
        const std::optional<TLinkSettings> saved = record ? LinkSettingsOf(*record) : std::nullopt;
        if (!record) {
            error = "no link given and no " + SettingsFileName +
                    " in the working folder: use --serial, --udp, --udp-search or --usb";
        } else if (!saved) {
            error = "no link given, and " + SettingsFileName + " holds no link (its first byte is " +
                    std::to_string(record->Kind()) + ")";
        } else if (saved->kind == LinkKind::Serial) {
            options.link = CliLink::Serial;
            options.serial = saved->serial;
        } else {
            options.link = CliLink::Udp;
            options.hosts = {saved->host};
        }
    } catch (const EInOutError& failure) {
        error = SettingsFileName + ": " + failure.what();
    }
    return error.empty();
}

bool IdentifyBoards(TUpdatePlan& plan, std::string& error)
{
    plan.identities.clear();
    std::map<std::string, std::size_t> named;  // key -> the first board named so
    for (std::size_t k = 0; k < plan.boards.size(); ++k) {
        TPlannedBoard& planned = plan.identities.emplace_back();
        try {
            planned.identity = IdentifyBoard(BoardLinkSettings(plan.options, plan.boards[k]));
        } catch (const EIdException& failure) {
            planned.error = SocketFailureText(plan.boards[k], failure);
            continue;
        } catch (const ENotABoard& refusal) {
            error = refusal.what();
            return false;
        }
        const auto [first, fresh] = named.emplace(planned.identity.key, k);
        if (!fresh) {
            error = "the board at " + planned.identity.name + " is named twice (" + plan.boards[first->second] +
                    " and " + plan.boards[k] + ")";
            return false;
        }
    }
    for (std::size_t k = 0; k < plan.boards.size(); ++k)
        if (!plan.identities[k].identity.key.empty())
            plan.boards[k] = plan.identities[k].identity.name;
    return true;
}

std::vector<TBoardResult> UpdateBoards(const TUpdatePlan& plan, TReporter& reporter)
{
    switch (plan.options.link) {
    case CliLink::Udp:
    case CliLink::UdpSearch:
        return UpdateEveryUdpBoard(plan, reporter);
    case CliLink::Serial:
    case CliLink::Usb:
    case CliLink::Saved:
        break;
    }
    return {WithRetries(plan, reporter, 0, [&] { return UpdateOneBoard(plan, reporter, 0); })};
}

TLinkSettings BoardLinkSettings(const TCliOptions& options, const std::string& board)
{
    TLinkSettings settings;
    if (options.link == CliLink::Serial) {
        settings.kind = LinkKind::Serial;
        settings.serial = options.serial;
    } else if (options.link == CliLink::Udp || options.link == CliLink::UdpSearch) {
        settings.kind = LinkKind::Network;
        settings.host = board;
    }
    return settings;
}
