#include "cli/UpdateBoards.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "cli/CliEvents.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Reporter.h"
#include "cli/Terminal.h"
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
// sent; why boards were not started is told once for all), the history's
// failure, and its ending.
void TellTry(TReporter& reporter, std::size_t board, const TBoardResult& result, const QString& historyWarning)
{
    if ((result.nothingSent && result.outcome != Ending::NotStarted) || result.failure)
        reporter.Error(board, result.message);
    if (!historyWarning.isEmpty())
        Output::Write(StandardError, "orvenda-update: warning: " + historyWarning.toStdString() + "\n");
    reporter.Done(board, result);
}

// Why a board of many is not started: the run was interrupted first.
const std::string CalledOffByInterrupt = "the run was interrupted before the board's turn; nothing was sent";

// Tries the board until a try is worth no other or --retries more tries have
// been made; the board's lock is held from its first try until the last has
// ended. `callOff`: why the board is not started at all, or why a try not
// started yet is called off once the run is interrupted (empty: the board
// alone is updated, and is always started). Serial: the port's receive events
// reach the session on this (the main) thread while the session waits for
// its answers; UDP: a socket of its own, waited on with every other board's.
TBoardResult UpdateBoard(const TUpdatePlan& plan, TReporter& reporter, std::size_t board,
                         const std::string& callOff = {})
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
        update.callOff = callOff == CalledOffByInterrupt && !Interrupted() ? std::string() : callOff;
        const TBoardResult result = TryBoard(update, events);
        TellTry(reporter, board, result, update.historyWarning);
        if (result.attempt > plan.options.retries || !WorthAnotherTry(result))
            return result;
    }
}

// The waves of --waves over `count` boards, as the first board after each:
// each wave's size in turn, the last size for every wave after it.
std::vector<std::size_t> WaveEnds(const std::vector<TBoardCount>& waves, std::size_t count)
{
    std::vector<std::size_t> ends;
    std::size_t end = 0;
    for (std::size_t wave = 0; end < count; ++wave) {
        const std::size_t size = waves.empty() ? count : waves[std::min(wave, waves.size() - 1)].Of(count, 1);
        end = std::min(count, end + size);
        ends.push_back(end);
    }
    return ends;
}

// The run's stop line (--max-failed): once more boards than it allows ended
// other than updated, no further board starts.
class TStopLine {
public:
    explicit TStopLine(const TCliOptions& options, std::size_t boards)
        : allowed_(options.maxFailed ? std::optional(options.maxFailed->Of(boards)) : std::nullopt),
          given_(options.maxFailed ? options.maxFailed->value : 0), percent_(options.maxFailed && options.maxFailed->percent)
    {
    }
    void Ended(const TBoardResult& result) { notUpdated_ += result.outcome == Ending::Updated ? 0 : 1; }
    bool Passed() const { return allowed_ && notUpdated_ > *allowed_; }
    // Why the boards left are not started.
    std::string Why() const
    {
        return std::to_string(notUpdated_) + " boards did not update, more than --max-failed " +
               std::to_string(given_) + (percent_ ? "%" : "") + " allows";
    }

private:
    std::optional<std::size_t> allowed_;
    int given_;
    bool percent_;
    std::size_t notUpdated_ = 0;
};

// Each board has its own session and socket, at most --jobs of them at a
// time, all on this thread: while one board works on its block, the others'
// answers are taken. One board's failure never touches the others. Wave
// after wave, until the stop line is passed: the boards left then are not
// started, and recorded so.
std::vector<TBoardResult> UpdateEveryUdpBoard(const TUpdatePlan& plan, TReporter& reporter)
{
    const std::size_t count = plan.boards.size();
    // A board whose task ended before its update did is no board updated.
    std::vector<TBoardResult> results;
    for (const std::string& board : plan.boards)
        results.push_back(FaultOf(board, "its update ended before it was decided"));
    TStopLine stopLine(plan.options, count);
    std::size_t next = 0;
    std::size_t waveEnd = 0;
    const auto worker = [&] {
        for (std::size_t k = next; k < waveEnd && !stopLine.Passed(); k = next) {
            ++next;
            try {
                results[k] = UpdateBoard(plan, reporter, k, CalledOffByInterrupt);
            } catch (const std::exception& fault) {
                // One board's fault ends that board alone.
                results[k] = FaultOf(plan.boards[k], fault.what());
                reporter.Done(k, results[k]);
            }
            stopLine.Ended(results[k]);
        }
    };
    for (const std::size_t end : WaveEnds(plan.options.waves, count)) {
        if (stopLine.Passed() || Interrupted())
            break;
        waveEnd = end;
        const std::size_t boards = end - next;
        const std::size_t jobs = plan.options.jobs > 0 ? std::min<std::size_t>(plan.options.jobs, boards) : boards;
        TLinkScheduler scheduler;
        for (std::size_t k = 0; k < jobs; ++k)
            scheduler.Spawn(worker);
        scheduler.Run();
    }
    const bool stopped = stopLine.Passed();
    if (stopped && next < count)
        Output::Write(StandardError, "orvenda-update: " + std::to_string(count - next) + " boards not started: " +
                                         stopLine.Why() + "\n");
    const std::string why = stopped ? stopLine.Why() + "; nothing was sent" : CalledOffByInterrupt;
    for (std::size_t k = next; k < count; ++k)
        results[k] = UpdateBoard(plan, reporter, k, why);
    return results;
}

} // namespace

bool FitJobsToDescriptors(TUpdatePlan& plan, std::size_t descriptors, std::string& error)
{
    // A board's socket and lock, and for a moment at its end the history
    // file; beside the boards the program keeps its own (standard streams,
    // the scheduler's set, a trace, the name lookups').
    constexpr std::size_t PerBoard = 3;
    constexpr std::size_t OfItsOwn = 32;
    const bool many = plan.options.link == CliLink::Udp || plan.options.link == CliLink::UdpSearch;
    const std::size_t asked = plan.options.jobs > 0 ? static_cast<std::size_t>(plan.options.jobs) : plan.boards.size();
    const std::size_t fit = descriptors > OfItsOwn ? (descriptors - OfItsOwn) / PerBoard : 0;
    if (!many || std::min(asked, plan.boards.size()) <= fit)
        return true;
    const std::string limit = "the open-file limit (" + std::to_string(descriptors) + ", ulimit -n)";
    if (fit == 0 || plan.options.jobs > 0) {
        error = "--jobs " + std::to_string(asked) + " needs more open files than " + limit + " allows: " +
                (fit == 0 ? "raise the limit" : "give --jobs " + std::to_string(fit) + " or less, or raise the limit");
        return false;
    }
    plan.options.jobs = static_cast<int>(fit);
    Output::Write(StandardError, "orvenda-update: " + limit + " lets " + std::to_string(fit) +
                                     " boards be updated at a time; the others wait their turn\n");
    return true;
}

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
    return {UpdateBoard(plan, reporter, 0)};
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
