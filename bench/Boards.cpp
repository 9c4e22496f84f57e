#include "bench/Boards.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cerrno>
#include <cstring>
#include <future>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include "bench/Command.h"
#include "bench/Transfers.h"
#include "bench/Usage.h"
#include "protocol/Encoder.h"
#include "tests/support/TerminalRedraws.h"
#include "transfer/engine/LinkScheduler.h"
#include "transfer/engine/Session.h"

namespace {

const std::string LoopbackNet = "127.";
// Host addresses run through the last byte from 1 to 254 of each /24.
constexpr int FirstHostByte = 1;
constexpr int HostsPerNet = 254;
constexpr int NetsPerSixteen = 256;

// Board processes started at once: more overlap their start-up, but many at
// once would only crowd the two cores the benchmark is made for.
constexpr std::size_t StartBatch = 16;

// The fleets the goals are set for; the other sizes are shown beside them.
constexpr int OneBoard = 1;
constexpr int TimeGoalBoards = 8;
constexpr int CpuGoalBoards = 256;
constexpr int LargestFleet = 1024;
const Goal TimeGoal = Goal::AtMost(1.25);
// 256 boards may take at most this many times one board's wall time: on two
// cores the updater's and the boards' CPU per block set the pace.
constexpr double FleetTimeLimit = 2.5;
constexpr double MemoryPerBoardMiB = 0.25;
const Goal MemoryGoal = Goal::AtMost(1.0);
// The updater's CPU per block that lets one core drive 256 boards across a
// local network.
constexpr double CpuPerBlockLimitUs = 12;
const Goal CpuGoal = Goal::AtMost(1.0);
// At 1024 boards, against the figure at 256: within the spread of the runs.
const Goal LargestFleetCpuGoal = Goal::AtMost(1.1);
constexpr double MicrosecondsPerSecond = 1e6;
constexpr double KiBPerMiB = 1024;
constexpr int MiBDecimals = 1;
constexpr int CpuDecimals = 1;

// The scheduler's switch: what one wait of a board may cost beyond its
// socket, measured over this many waits of each of the 256 boards' tasks.
constexpr double SwitchLimitUs = 0.5;
constexpr int SwitchesPerTask = 2000;
const Goal SwitchGoal = Goal::AtMost(1.0);

// The terminal the live view is measured on, and what it may cost.
constexpr unsigned short TerminalColumns = 80;
constexpr unsigned short TerminalRows = 24;
constexpr double TerminalBytesPerBoard = 4096;
constexpr double RedrawsPerSecond = 10;
const Goal TerminalGoal = Goal::AtMost(1.0);

// A run of the largest fleet takes seconds; this only ends a hung one.
constexpr int UpdateLimitMs = 300000;

const QString EventKey = QStringLiteral("event");
const QString DoneEvent = QStringLiteral("done");

// The "done" events among the JSON lines of the updater's output.
std::size_t DoneEvents(const std::string& output)
{
    std::size_t done = 0;
    for (const QByteArray& line : QByteArray::fromStdString(output).split('\n')) {
        const QJsonDocument event = QJsonDocument::fromJson(line);
        if (event.isObject() && event.object().value(EventKey).toString() == DoneEvent)
            ++done;
    }
    return done;
}

std::string Fixed(double value, int decimals)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

const FleetRun& RunOf(const std::vector<FleetRun>& runs, int boards)
{
    const auto run = std::find_if(runs.begin(), runs.end(), [&](const FleetRun& r) { return r.boards == boards; });
    if (run == runs.end())
        throw std::invalid_argument("no run of " + std::to_string(boards) + " boards");
    return *run;
}

double PerBlockUs(double cpuSeconds, const FleetRun& run)
{
    return cpuSeconds / static_cast<double>(run.blocks) * MicrosecondsPerSecond;
}

std::string FleetName(int boards)
{
    return "boards, " + std::to_string(boards) + (boards == OneBoard ? " alone" : " at once") + " over UDP";
}

Goal TimeGoalOf(int boards)
{
    if (boards == TimeGoalBoards)
        return TimeGoal;
    return boards == CpuGoalBoards ? Goal::AtMost(FleetTimeLimit) : Goal::Informative();
}

// Beside the wall time, what both sides spent on a block, so that the time
// can be read against what the two cores allow.
Figure TimeFigure(const FleetRun& run, const FleetRun& one)
{
    return {FleetName(run.boards), {run.wallSeconds, "s"}, {one.wallSeconds, "s"},
            "one board alone; each answers after " + std::to_string(LanRoundTripMs) + " ms", TimeGoalOf(run.boards),
            "peak " + Fixed(run.peakMiB, MiBDecimals) + " MiB; CPU per block: updater " +
                Fixed(PerBlockUs(run.cpuSeconds, run), CpuDecimals) + " us, boards " +
                Fixed(PerBlockUs(run.boardCpuSeconds, run), CpuDecimals) + " us"};
}

Figure MemoryFigure(const FleetRun& run, const FleetRun& one)
{
    const double perBoard = (run.peakMiB - one.peakMiB) / (run.boards - OneBoard);
    return {"boards, " + std::to_string(run.boards) + ": memory per added board", {perBoard, "MiB"},
            {MemoryPerBoardMiB, "MiB"}, "what each board beyond the first may add", MemoryGoal,
            "peaks " + Fixed(run.peakMiB, MiBDecimals) + " and " + Fixed(one.peakMiB, MiBDecimals) + " MiB"};
}

// The updater's CPU per block: at 256 boards against what one core may
// spend, at 1024 against 256 (a larger fleet may cost a block no more than
// the runs' own spread, a tenth).
Figure CpuFigure(const FleetRun& run, const std::vector<FleetRun>& runs)
{
    const std::string name = "boards, " + std::to_string(run.boards) + ": updater CPU per block";
    const double figure = PerBlockUs(run.cpuSeconds, run);
    if (run.boards == LargestFleet) {
        const FleetRun& fewer = RunOf(runs, CpuGoalBoards);
        return {name, {figure, "us"}, {PerBlockUs(fewer.cpuSeconds, fewer), "us"},
                "the same at " + std::to_string(CpuGoalBoards) + " boards", LargestFleetCpuGoal, ""};
    }
    return {name, {figure, "us"}, {CpuPerBlockLimitUs, "us"}, "what one core may spend on a block",
            run.boards == CpuGoalBoards ? CpuGoal : Goal::Informative(), ""};
}

} // namespace

std::vector<std::string> FleetAddresses(int boards, int firstHost)
{
    std::vector<std::string> addresses;
    for (int index = 0; index < boards; ++index) {
        const int host = firstHost - FirstHostByte + index;
        const int net = host / HostsPerNet;
        addresses.push_back(LoopbackNet + std::to_string(net / NetsPerSixteen) + "."
                            + std::to_string(net % NetsPerSixteen) + "."
                            + std::to_string(host % HostsPerNet + FirstHostByte));
    }
    return addresses;
}

void CheckAddressesFree(const std::vector<std::string>& addresses, std::uint16_t port)
{
    for (const std::string& address : addresses) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
            throw std::runtime_error("not an IPv4 address: " + address);
        const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe < 0)
            throw std::runtime_error(std::string("UDP socket: ") + std::strerror(errno));
        const bool bound = ::bind(probe, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
        const int error = errno;
        ::close(probe);
        const std::string where = "address " + address + ":" + std::to_string(port);
        if (!bound && error == EADDRINUSE)
            throw std::runtime_error(where + " is in use by another program");
        if (!bound)
            throw std::runtime_error(where + " cannot be bound: " + std::strerror(error));
    }
}

BoardFleet::BoardFleet(int boards, int firstHost) : addresses_(FleetAddresses(boards, firstHost))
{
    CheckAddressesFree(addresses_, BoardRequestPort);
    std::vector<std::string> lists;
    for (std::size_t k = 0; k < addresses_.size(); ++k)
        k % BoardsPerProcess == 0 ? lists.push_back(addresses_[k]) : void(lists.back() += "," + addresses_[k]);
    for (std::size_t first = 0; first < lists.size(); first += StartBatch) {
        std::vector<std::future<std::unique_ptr<BoardSim>>> batch;
        for (std::size_t k = first; k < std::min(first + StartBatch, lists.size()); ++k) {
            batch.push_back(std::async(std::launch::async, [list = lists[k]] {
                return std::make_unique<BoardSim>(
                    std::vector<std::string>{"--udp", list, "--delay", std::to_string(LanRoundTripMs)});
            }));
        }
        // In order, so that the boards of process k are k's; one that failed
        // leaves the rest of its batch to be stopped with their futures.
        for (auto& process : batch)
            processes_.push_back(process.get());
    }
}

std::filesystem::path BoardFleet::KeptFolder(std::size_t index) const
{
    const std::filesystem::path folder = ProcessOf(index).OutFolder();
    // A process of several boards keeps each one's files under its address.
    const bool shared = addresses_.size() > BoardsPerProcess * (index / BoardsPerProcess) + 1;
    return shared ? folder / addresses_[index] : folder;
}

std::optional<std::string> BoardFleet::Kept(std::size_t index, const std::string& relative) const
{
    const BoardSim& process = ProcessOf(index);
    return process.Kept((KeptFolder(index).lexically_relative(process.OutFolder()) / relative).string());
}

double BoardFleet::CpuSeconds() const
{
    double seconds = 0;
    for (const auto& process : processes_)
        seconds += ProcessCpuSeconds(process->Pid());
    return seconds;
}

std::string BoardFleet::AddressList() const
{
    std::string list;
    for (const std::string& address : addresses_)
        list += (list.empty() ? "" : ",") + address;
    return list;
}

std::size_t BoardFleet::StopAll()
{
    std::size_t clean = 0;
    for (std::size_t k = 0; k < processes_.size(); ++k) {
        const std::size_t served = std::min(BoardsPerProcess, addresses_.size() - k * BoardsPerProcess);
        clean += processes_[k]->Stop() == 0 ? served : 0;
    }
    return clean;
}

FleetRun UpdateFleet(const std::filesystem::path& updater, const std::string& image, std::uint64_t size,
                     const BoardFleet& fleet)
{
    const std::string what = "orvenda-update of " + std::to_string(fleet.Size()) + " boards";
    const double boardCpuBefore = fleet.CpuSeconds();
    const Stopwatch clock;
    const CommandResult run =
        RunToEnd(updater.string(), {"firmware", image, "--udp", fleet.AddressList(), "--json"}, UpdateLimitMs, what);
    const double wallSeconds = clock.Elapsed().wallSeconds;
    const double boardCpuSeconds = fleet.CpuSeconds() - boardCpuBefore;
    if (run.exitCode != 0)
        throw std::runtime_error(what + " ended with exit status " + std::to_string(run.exitCode));
    const std::size_t done = DoneEvents(run.output);
    if (done != fleet.Size())
        throw std::runtime_error(what + " reported " + std::to_string(done) + " boards done");
    for (std::size_t index = 0; index < fleet.Size(); ++index) {
        try {
            CheckBoardKeptImage(fleet.ProcessOf(index), fleet.KeptFolder(index), image, size);
        } catch (const std::exception& error) {
            throw std::runtime_error(fleet.Address(index) + ": " + error.what());
        }
    }
    const std::uint64_t blocksPerBoard = (size + ImageBlockSize - 1) / ImageBlockSize;
    return {static_cast<int>(fleet.Size()), wallSeconds, run.cpuSeconds, boardCpuSeconds,
            static_cast<double>(run.peakKiB) / KiBPerMiB, blocksPerBoard * fleet.Size()};
}

TerminalRun UpdateFleetOnTerminal(const std::filesystem::path& updater, const std::string& image,
                                  const BoardFleet& fleet)
{
    const std::string what = "orvenda-update of " + std::to_string(fleet.Size()) + " boards on a terminal";
    const Stopwatch clock;
    const CommandResult run = RunOnTerminal(updater.string(), {"firmware", image, "--udp", fleet.AddressList()},
                                            UpdateLimitMs, what, TerminalColumns, TerminalRows);
    const double wallSeconds = clock.Elapsed().wallSeconds;
    if (run.exitCode != 0)
        throw std::runtime_error(what + " ended with exit status " + std::to_string(run.exitCode));
    const auto boards = static_cast<double>(fleet.Size());
    return {static_cast<int>(fleet.Size()), static_cast<double>(run.output.size()) / boards,
            static_cast<double>(RedrawsIn(run.output)) / wallSeconds};
}

std::vector<Figure> TerminalFigures(const TerminalRun& run)
{
    const std::string name = "boards, " + std::to_string(run.boards) + " on an 80x24 terminal: ";
    return {{name + "bytes written per board", {run.bytesPerBoard, "B"}, {TerminalBytesPerBoard, "B"},
             "what one board may cost the terminal", TerminalGoal, ""},
            {name + "redraws a second", {run.redrawsPerSecond, "/s"}, {RedrawsPerSecond, "/s"},
             "the view's redraws in all", TerminalGoal, ""}};
}

std::vector<Figure> FleetFigures(const std::vector<FleetRun>& runs)
{
    const FleetRun& one = RunOf(runs, OneBoard);
    std::vector<Figure> figures;
    for (const FleetRun& run : runs)
        figures.push_back(TimeFigure(run, one));
    for (const FleetRun& run : runs) {
        if (run.boards != OneBoard)
            figures.push_back(MemoryFigure(run, one));
    }
    for (const FleetRun& run : runs)
        figures.push_back(CpuFigure(run, runs));
    return figures;
}

namespace {

double ThreadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

Figure SchedulerSwitchFigure()
{
    TLinkScheduler scheduler;
    for (int task = 0; task < CpuGoalBoards; ++task) {
        scheduler.Spawn([&scheduler] {
            for (int wait = 0; wait < SwitchesPerTask; ++wait)
                scheduler.Sleep(std::chrono::milliseconds(0));
        });
    }
    const double before = ThreadCpuSeconds();
    scheduler.Run();
    const double perSwitchUs = (ThreadCpuSeconds() - before) * MicrosecondsPerSecond /
                               (static_cast<double>(CpuGoalBoards) * SwitchesPerTask);
    return {"boards, scheduler: CPU per wait at " + std::to_string(CpuGoalBoards) + " boards",
            {perSwitchUs, "us"}, {SwitchLimitUs, "us"}, "what the switch may cost a block", SwitchGoal, ""};
}
