// orvenda-update: the updater from the command line. The same engine as the
// window, one session per board, many boards at once over the network.
#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "transfer/engine/BiosPassword.h"
#include "transfer/report/ErrorText.h"
#include "cli/AddressText.h"
#include "cli/BoardList.h"
#include "cli/ExitStatus.h"
#include "cli/HistoryTable.h"
#include "cli/Interrupt.h"
#include "cli/UpdateBoards.h"
#include "cli/Options.h"
#include "cli/Password.h"
#include "cli/Output.h"
#include "network/IdStack.h"
#include "cli/Plan.h"
#include "cli/Status.h"
#include "cli/Reporter.h"
#include "cli/Terminal.h"
#include "cli/Trace.h"
#include "network/BoardSearch.h"
#include "network/IdException.h"
#include "network/IdUDPClient.h"
#include "network/LocalNetwork.h"
#include "protocol/RuntimeErrors.h"
#include "transfer/engine/FileOfBytes.h"
#include "transfer/record/History.h"
#include "transfer/board/BoardTry.h"

namespace {

const char* const UsbBoardName = "usb";

// Every way out before the boards report: the reason on standard error and,
// with --json, an error event on standard output.
int Fail(bool json, int status, const std::string& reason)
{
    const std::string line = OneLine(reason);
    std::fprintf(stderr, "orvenda-update: %s\n", line.c_str());
    if (json)
        TReporter::Ended(line, status);
    return status;
}

int Refuse(bool json, const std::string& reason)
{
    Fail(json, ExitBadInput, reason);
    if (!json)
        std::fputs("Try 'orvenda-update --help'.\n", stderr);
    return ExitBadInput;
}

// Whether --json was asked for, also on a command line that is refused.
bool AsksForJson(const QStringList& arguments)
{
    return arguments.contains(QStringLiteral("--json"));
}

// Opens every file the transfer sends, so that one that cannot be read stops
// the update before anything is sent. Returns their total size.
std::optional<std::int64_t> CheckFiles(const TCliOptions& options, std::string& error)
{
    std::int64_t total = 0;
    const bool image = options.command == CliCommand::Firmware || options.command == CliCommand::Bios;
    for (const std::string& path : options.files) {
        try {
            const std::int64_t size = TFileOfBytes(path).Size();
            if (image && size == 0)
                throw EEmptyImage(path);
            total += size;
        } catch (const EInOutError& failure) {
            error = path + ": " + failure.what();
            return std::nullopt;
        } catch (const EEmptyImage& refusal) {
            error = refusal.what();
            return std::nullopt;
        }
    }
    try {
        if (options.command == CliCommand::Flash)
            CheckSendableNames(options.files);
    } catch (const EUnsendableName& failure) {
        error = failure.what();
        return std::nullopt;
    }
    return total;
}

// Runs the search the options ask for, listing every board that answers;
// Ctrl-C ends it with what it found. When it cannot run, prints why and gives
// the exit status instead: 2 for an interface it cannot search, 3 for a
// socket that failed.
std::variant<TSearchFound, int> Search(const TCliOptions& options)
{
    try {
        std::string error;
        const std::optional<TSearchPlan> plan = PlanSearch(options.search, ReadLocalNetwork(), error);
        if (!plan)
            return Fail(options.json, ExitBadInput, error + "; nothing was sent");
        TIdUDPClient client;
        const TSearchLimits limits{
            static_cast<std::int32_t>(std::min<std::int64_t>(std::chrono::milliseconds(std::chrono::seconds(options.searchSeconds)).count(),
                                                             std::numeric_limits<std::int32_t>::max())),
            std::numeric_limits<std::size_t>::max()};
        return SearchBoards(client, *plan, Interrupted, limits);
    } catch (const EIdException& failure) {
        return Fail(options.json, ExitLinkFailed,
                    "the search could not be sent (" + OneLine(failure.what()) +
                        "): check that a network interface is up with an IPv4 address, or search one with "
                        "--interface NAME or an address range with --range CIDR");
    }
}

// No board answering is no success: the places searched are named.
int PrintSearch(const TCliOptions& options)
{
    const std::variant<TSearchFound, int> search = Search(options);
    if (const int* status = std::get_if<int>(&search))
        return *status;
    const TSearchFound& found = std::get<TSearchFound>(search);
    const TReporter::Mode mode = TReporter::ModeFor(options.json);
    if (mode != TReporter::Mode::Json) {
        for (const std::string& board : found.boards)
            std::printf("%s\n", board.c_str());
    }
    TReporter::SearchEnded(mode, found.boards, found.searched, found.failed);
    if (Interrupted())
        return InterruptedExitStatus();
    return found.boards.empty() ? ExitIncomplete : ExitUpdated;
}

// The table as wide as the terminal; a pipe gets the table's usual width.
qsizetype HistoryWidth()
{
    return IsTerminal(StandardOutput) ? TerminalSize(StandardOutput).columns : HistoryTableColumns;
}

// What `history` prints of each chosen update: its board once (--keys), its
// line as stored (--json), or its row of the table.
class THistoryPrinter {
public:
    explicit THistoryPrinter(const TCliOptions& options)
        : keys_(options.historyKeys), json_(options.json),
          table_(HistoryWidth(), [](const QString& rows) { std::fputs(qPrintable(rows), stdout); })
    {
    }
    void Print(const QByteArray& line, const QJsonObject& entry)
    {
        if (keys_) {
            const QString board = entry.value("board").toString();
            if (boards_.insert(board).second)
                std::printf("%s\n", qPrintable(board));
        } else if (json_) {
            std::printf("%s\n", line.constData());
        } else {
            table_.Add(entry);
        }
    }
    void Finish()
    {
        if (!keys_ && !json_)
            table_.Finish();
    }

private:
    bool keys_;
    bool json_;
    THistoryTable table_;
    std::set<QString> boards_;
};

// The history as it is read, never held whole: --last reads from its end.
int PrintHistory(const TCliOptions& options)
{
    // Reading holds nothing to close or record.
    const TExitAtOnceOnSignal exitAtOnce;
    const QString path = DefaultHistoryPath();
    HistoryFilter filter{QString::fromStdString(options.historyBoard), {}, options.last,
                         QString::fromStdString(options.historyRun)};
    for (const std::string& outcome : options.historyOutcomes)
        filter.outcomes << QString::fromStdString(outcome);
    // No run recorded yet: no update is of the last one.
    if (filter.run == LastRun) {
        const QString last = LastHistoryRun(path);
        filter.run = last.isEmpty() ? QStringLiteral("\n") : last;
    }
    THistoryPrinter printer(options);
    HistoryReading reading;
    if (options.last > 0) {
        reading = LastHistoryLines(path, options.last,
                                   [&filter](const QJsonObject& entry) { return HistoryChosen(entry, filter); });
        for (const QByteArray& line : reading.lines)
            printer.Print(line, *HistoryEntry(line));
    } else {
        // Until the reader has gone (`history | head -3`).
        reading = ForEachHistoryLine(path, [&](const QByteArray& line, const QJsonObject& entry) {
            if (HistoryChosen(entry, filter))
                printer.Print(line, entry);
            return std::ferror(stdout) == 0;
        });
    }
    if (!reading.error.isEmpty())
        return Fail(options.json, ExitBadInput, reading.error.toStdString());
    printer.Finish();
    // Told, not hidden: a damaged history is worth a look.
    if (reading.unreadable > 0)
        std::fprintf(stderr, "orvenda-update: skipped %d unreadable line%s in %s\n", reading.unreadable,
                     reading.unreadable == 1 ? "" : "s", qPrintable(path));
    return ExitUpdated;
}

// The boards --udp-search found, or the exit status when there are none
// (the reason printed): no board found is a link that cannot be opened.
std::variant<std::vector<std::string>, int> SearchedBoards(const TCliOptions& options)
{
    std::variant<TSearchFound, int> search = Search(options);
    if (const int* status = std::get_if<int>(&search))
        return *status;
    TSearchFound& found = std::get<TSearchFound>(search);
    if (!found.boards.empty())
        return std::move(found.boards);
    TReporter::SearchEnded(TReporter::ModeFor(options.json), {}, found.searched, found.failed);
    return Interrupted() ? InterruptedExitStatus() : ExitLinkFailed;
}

// A name of digits and dots is meant as an address: one that is none
// (127.0.0.300) is a mistake on the command line, not a board to look up.
bool NoAddress(const std::string& board)
{
    return !board.empty() && board.find_first_not_of("0123456789.") == std::string::npos && !IsInetAddress(board);
}

// The boards of --udp and --boards-from, each once; the exit status instead
// when the list cannot be read, names what is no address, or names no board.
std::variant<std::vector<std::string>, int> UdpBoards(const TCliOptions& options)
{
    std::vector<std::string> boards = options.hosts;
    if (options.boardsFrom) {
        std::string error;
        const std::optional<std::vector<std::string>> listed = ReadBoardList(*options.boardsFrom, error);
        if (!listed)
            return Fail(options.json, ExitBadInput, error + "; nothing was sent");
        for (const std::string& board : *listed)
            if (std::find(boards.begin(), boards.end(), board) == boards.end())
                boards.push_back(board);
    }
    for (const std::string& board : boards)
        if (NoAddress(board))
            return Fail(options.json, ExitBadInput, board + " is no IPv4 address; nothing was sent");
    if (boards.empty()) {
        const std::string list = *options.boardsFrom == "-" ? "standard input" : *options.boardsFrom;
        std::fprintf(stderr, "orvenda-update: nothing to do: %s names no board\n", list.c_str());
        return ExitUpdated;
    }
    return boards;
}

// The boards the update goes to, or the exit status when there are none.
std::variant<std::vector<std::string>, int> BoardsOf(const TCliOptions& options)
{
    switch (options.link) {
    case CliLink::Serial:
        return std::vector<std::string>{options.serial.port};
    case CliLink::Udp:
        return UdpBoards(options);
    case CliLink::UdpSearch:
        return SearchedBoards(options);
    case CliLink::Usb:
    case CliLink::Saved:
        break;
    }
    return std::vector<std::string>{UsbBoardName};
}

HistoryKind KindOf(CliCommand command)
{
    switch (command) {
    case CliCommand::Bios:
        return HistoryKind::Bios;
    case CliCommand::Flash:
        return HistoryKind::Flash;
    case CliCommand::Data:
        return HistoryKind::Data;
    default:
        return HistoryKind::Firmware;
    }
}

int ExitStatusOf(const std::vector<TBoardResult>& results)
{
    if (Interrupted())
        return InterruptedExitStatus();
    int status = ExitUpdated;
    for (const TBoardResult& result : results) {
        if (result.outcome == Ending::LinkFailed)
            return ExitLinkFailed;
        if (result.outcome != Ending::Updated)
            status = ExitIncomplete;
    }
    return status;
}

// IdentifyBoards, which Ctrl-C and SIGTERM end at once: a name lookup may
// take long, and nothing is held yet.
bool IdentifyBoardsAnswering(TUpdatePlan& plan, std::string& error)
{
    const TExitAtOnceOnSignal exitAtOnce;
    return IdentifyBoards(plan, error);
}

int Update(TCliOptions options)
{
    std::string error;
    if (options.link == CliLink::Saved && (!ApplySavedLink(options, error) || !CheckJobsFitLink(options, error)))
        return Refuse(options.json, error);
    const std::optional<std::int64_t> total = CheckFiles(options, error);
    if (!total)
        return Fail(options.json, ExitBadInput, error + "; nothing was sent");
    std::variant<std::vector<std::string>, int> boards = BoardsOf(options);
    if (const int* status = std::get_if<int>(&boards))
        return *status;
    THistoryWriter history(DefaultHistoryPath(), ExitAtOnceOnSignal);
    // Without transport the command line has no flow to show: it sends
    // nothing and does not wait through the board's settle times.
    TUpdatePlan plan{options, std::move(std::get<std::vector<std::string>>(boards)), {}, *total,
                     {.kind = KindOf(options.command), .files = options.files, .playsWithoutTransport = false},
                     &history, nullptr};
    if (!IdentifyBoardsAnswering(plan, error))
        return Fail(options.json, ExitBadInput, error + "; nothing was sent");
    if (options.dryRun) {
        if (!PrintPlan(plan, stdout, error))
            return Fail(options.json, ExitBadInput, error + "; nothing was sent");
        return ExitUpdated;
    }
    // A signal at the question ends the run as a signal does.
    if (options.link == CliLink::UdpSearch && !ConfirmSearchedBoards(plan, options.yes, error))
        return Fail(options.json, Interrupted() ? InterruptedExitStatus() : ExitBadInput,
                    error + "; nothing was sent");
    if (options.command == CliCommand::Bios) {
        const std::optional<std::string> password = ReadPassword(options.passwordFile, error);
        if (!password)
            return Fail(options.json, Interrupted() ? InterruptedExitStatus() : ExitBadInput,
                        error + "; nothing was sent");
        if (!IsBiosPassword(*password))
            return Fail(options.json, ExitBadInput, "wrong BIOS password; nothing was sent");
    }
    std::optional<TTrace> trace;
    try {
        if (options.tracePath)
            trace.emplace(*options.tracePath);
    } catch (const std::runtime_error& failure) {
        // Like a port that cannot be opened: a place to write to, not the
        // command line, is at fault.
        return Fail(options.json, ExitLinkFailed, std::string(failure.what()) + "; nothing was sent");
    }
    plan.trace = trace ? &*trace : nullptr;
    if (!FitJobsToDescriptors(plan, RaiseDescriptorLimit(), error))
        return Fail(options.json, ExitBadInput, error + "; nothing was sent");
    TReporter reporter(TReporter::ModeFor(options.json), plan.boards);
    const std::vector<TBoardResult> results = UpdateBoards(plan, reporter);
    const int status = ExitStatusOf(results);
    reporter.Summary(results, status, history.Run());
    return status;
}

// Asks each board for its boot error; nothing is burnt.
int Status(TCliOptions options)
{
    std::string error;
    if (options.link == CliLink::Saved && !ApplySavedLink(options, error))
        return Refuse(options.json, error);
    if (options.link == CliLink::Usb)
        return Refuse(options.json, "status needs a link that carries: " + UsbHasNoTransport);
    std::variant<std::vector<std::string>, int> boards = BoardsOf(options);
    if (const int* status = std::get_if<int>(&boards))
        return *status;
    TUpdatePlan plan{options, std::move(std::get<std::vector<std::string>>(boards)), {}, 0, {}, {}, nullptr};
    if (!IdentifyBoardsAnswering(plan, error))
        return Fail(options.json, ExitBadInput, error + "; nothing was sent");
    const std::vector<TBoardStatus> statuses = AskBoards(plan);
    PrintStatus(statuses, options.json);
    return StatusExit(statuses);
}

// The program, once its output is handed over (Output): main waits until
// the terminal or pipe has taken it.
int Run(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvenda-update"));
    const TParsedCommandLine parsed =
        ParseCommandLine(QCoreApplication::arguments(), std::vector<std::string>(argv, argv + argc));
    if (!parsed.options)
        return Refuse(AsksForJson(QCoreApplication::arguments()), parsed.error);
    InstallInterruptHandler();
    const TCliOptions& options = *parsed.options;
    switch (options.command) {
    case CliCommand::History:
        return PrintHistory(options);
    case CliCommand::Search:
        return PrintSearch(options);
    case CliCommand::Status:
        return Status(options);
    default:
        return Update(options);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int status = Run(argc, argv);
    Output::Drain();
    return status;
}
