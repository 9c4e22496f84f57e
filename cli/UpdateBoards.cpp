#include "cli/UpdateBoards.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "cli/CliEvents.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"

#include <unistd.h>
#include "cli/Reporter.h"
#include "network/IdException.h"
#include "protocol/RuntimeErrors.h"
#include "transfer/record/SettingsFile.h"
#include "transfer/report/ErrorText.h"
#include "transfer/board/BoardTry.h"
#include "transfer/engine/LinkScheduler.h"

namespace {

// What a try that failed or was stopped after sending leaves to another; a
// link that could not be used, an interrupted run or a sound update leave
// nothing.
bool WorthAnotherTry(const TBoardResult& result)
{
    return (result.outcome == Ending::Failed || result.outcome == Ending::Stopped) &&
           !result.nothingSent && !Interrupted();
}

// A board whose update ended in a fault of the updater's own: failed.
TBoardResult FaultOf(const std::string& board, const std::string& why)
{
    TBoardResult result;
    result.board = board;
    result.outcome = Ending::Failed;
    result.message = why;
    return result;
}

// Reports a try of the board once it is recorded: why it sent nothing or
// broke, told once as its error (the summary says only that nothing was
// sent), the history's failure, and its ending.
void TellTry(TReporter& reporter, std::size_t board, const TBoardResult& result, const QString& historyWarning)
{
    if (result.nothingSent || result.failure)
        reporter.Error(board, result.message);
    if (!historyWarning.isEmpty())
        Output::Write(STDERR_FILENO, "orvenda-update: warning: " + historyWarning.toStdString() + "\n");
    reporter.Done(board, result);
}

// Tries the board until a try is worth no other or --retries more tries have
// been made; the board's lock is held from its first try until the last has
// ended. `mayCallOff`: a try not started yet is called off once the run is
// interrupted. Serial: the port's receive events reach the session on this
// (the main) thread while the session waits for its answers; UDP: a socket
// of its own, waited on with every other board's.
TBoardResult UpdateBoard(const TUpdatePlan& plan, TReporter& reporter, std::size_t board, bool mayCallOff)
{
    const std::string& name = plan.boards[board];
    TBoardUpdate update;
    update.name = name;
    update.identity = plan.identities[board].identity;
    update.notHad = plan.identities[board].error;
    update.settings = BoardLinkSettings(plan.options, name);
    update.request = plan.request;
    update.watchdogMs = plan.options.watchdogMs;
    update.history = plan.history;
    for (;;) {
        TCliEvents events(reporter, board, plan.totalBytes, plan.options.keepGoing, plan.trace, name);
        const TBoardResult result = TryBoard(update, events, !(mayCallOff && Interrupted()));
        TellTry(reporter, board, result, update.historyWarning);
        if (result.attempt > plan.options.retries || !WorthAnotherTry(result))
            return result;
    }
}

// Each board has its own session and socket, at most --jobs of them at a
// time, all on this thread: while one board works on its block, the others'
// answers are taken. One board's failure never touches the others.
std::vector<TBoardResult> UpdateEveryUdpBoard(const TUpdatePlan& plan, TReporter& reporter)
{
    const std::size_t count = plan.boards.size();
    // A board whose task ended before its update did is no board updated.
    std::vector<TBoardResult> results;
    for (const std::string& board : plan.boards)
        results.push_back(FaultOf(board, "its update ended before it was decided"));
    std::size_t next = 0;
    const auto worker = [&] {
        for (std::size_t k = next++; k < count; k = next++) {
            try {
                results[k] = UpdateBoard(plan, reporter, k, true);
            } catch (const std::exception& fault) {
                // One board's fault ends that board alone.
                results[k] = FaultOf(plan.boards[k], fault.what());
                reporter.Done(k, results[k]);
            }
        }
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
    // Read once: every read lists every interface of the machine.
    const bool overUdp = plan.options.link == CliLink::Udp || plan.options.link == CliLink::UdpSearch;
    const TLocalNetwork network = overUdp ? MachineNetworks() : TLocalNetwork{};
    for (std::size_t k = 0; k < plan.boards.size(); ++k) {
        TPlannedBoard& planned = plan.identities.emplace_back();
        try {
            planned.identity = IdentifyBoard(BoardLinkSettings(plan.options, plan.boards[k]), network);
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
    return {UpdateBoard(plan, reporter, 0, false)};
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
