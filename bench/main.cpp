// The updater's benchmarks: its real transfers (offscreen windows, the
// simulated board behind a pseudo-terminal or a loopback address) held against
// what the same links do without the updater, measured in the same run.
//
//   updater_bench [NAME...]              runs the named benchmarks (all without a
//                                        name; see Benchmarks), one line a figure
//   updater_bench --peak-memory BYTES    one transfer of BYTES; prints its peak memory
//
// The figures are printed, not judged: the exit status is 0 when every figure
// was measured, 1 when one could not be, 2 for a bad command line.
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/Application.h"
#include "app/Unit1.h"
#include "bench/Boards.h"
#include "bench/Command.h"
#include "bench/LinkLimits.h"
#include "bench/Placement.h"
#include "bench/Report.h"
#include "bench/Rounds.h"
#include "bench/Transfers.h"
#include "network/IdStack.h"
#include "network/IdUDPClient.h"

namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;
constexpr double KiBPerMiB = 1024;

constexpr std::uint64_t SerialImageSize = 256 * KiB;
constexpr std::uint64_t NetworkImageSize = 4 * MiB;
constexpr std::uint64_t SmallMemoryImage = 1 * MiB;
constexpr std::uint64_t LargeMemoryImage = 64 * MiB;
constexpr std::uint64_t FleetImageSize = 256 * KiB;

constexpr int SlowBaud = 115200;
constexpr int FastBaud = 921600;
constexpr int BitsPerByte = 10;  // 8N1: a start bit, 8 data bits, a stop bit

// Every block costs its frame and the query out and the answer back.
constexpr std::size_t LineBytesPerBlock = BlockFrameSize + QueryFrameSize + AnswerFrameSize;
constexpr double ProtocolCeiling = static_cast<double>(ImageBlockSize) / LineBytesPerBlock;

const Goal LineGoal = Goal::AtLeast(0.95);
const Goal UnpacedGoal = Goal::AtLeast(0.85);
const Goal NetworkGoal = Goal::AtLeast(0.9);
constexpr double MicrosecondsPerSecond = 1e6;
const Goal BelowLimit = Goal::Below(1.0);
const Goal CpuGoal = Goal::AtMost(0.015);
constexpr double MemoryLimitMiB = 2;

// The unpaced links' rates swing with whatever else the machine runs, the
// limits' as much as the transfers': each is measured this many times, in
// turns with its limit, and the median of the rounds' ratios is printed.
constexpr int Rounds = 5;

// The memory runs use the faster of the two unpaced links; a 64 MiB image
// takes seconds over UDP and minutes over the pseudo-terminal.
constexpr Link MemoryLink = Link::Network;

// The fleets that the command-line updater updates at once: one board alone,
// and the fleets held against it. 256 boards of 256 KiB take seconds.
constexpr std::array FleetSizes{1, 8, 64, 256, 1024};
constexpr int FleetRounds = 3;
const std::filesystem::path CommandLineUpdater = ORVENDA_UPDATE_PATH;

const QString PeakMemoryOption = QStringLiteral("--peak-memory");
const std::string PeakLinePrefix = "peak_kib ";
// A memory run's transfer takes seconds; this only ends a hung one.
constexpr int MemoryRunLimitMs = 180000;

std::string ImageName(std::uint64_t size)
{
    return "image" + std::to_string(size) + ".hex";
}

Usage TransferOver(Link link, std::vector<std::string> boardOptions, std::uint64_t size)
{
    UpdaterSession session(link, std::move(boardOptions));
    return TimedUpdate(session, WriteImage(session, ImageName(size), size), size);
}

double PayloadRate(std::uint64_t size, const Usage& usage)
{
    return static_cast<double>(size) / usage.wallSeconds;
}

// A figure measured in rounds against its limit measured in the same rounds:
// the medians of both, and the median ratio of the rounds with its spread.
void PrintRounds(const std::string& name, const std::vector<double>& figures, const std::vector<double>& limits,
                 const std::string& unit, const std::string& limitSource, const Goal& goal)
{
    PrintFigure({name, {Median(figures), unit}, {Median(limits), unit}, limitSource, goal, ""},
                RatiosOfRounds(figures, limits));
}

// A serial transfer to a board that reads at `baud`; prints the payload rate
// against the line rate and against the protocol's ceiling. The updater's port
// keeps its saved 115200 baud: a pseudo-terminal takes bytes as fast as they
// are written, so the board's reading sets the pace.
Usage PacedSerial(int baud)
{
    const Usage usage = TransferOver(Link::Serial, {"--baud", std::to_string(baud)}, SerialImageSize);
    const double rate = PayloadRate(SerialImageSize, usage);
    const double line = static_cast<double>(baud) / BitsPerByte;
    const std::string name = "serial, paced at " + std::to_string(baud) + " baud";
    PrintFigure({name, {rate, "B/s"}, {line, "B/s"}, "line rate, 8N1", LineGoal, ""});
    const std::string ceiling = "protocol ceiling " + std::to_string(ImageBlockSize) + "/"
                                + std::to_string(LineBytesPerBlock) + " of the line";
    PrintFigure({name, {rate, "B/s"}, {line * ProtocolCeiling, "B/s"}, ceiling, Goal::Informative(), ""});
    return usage;
}

void Cpu(const Usage& paced)
{
    PrintFigure({"CPU, paced at " + std::to_string(SlowBaud) + " baud", {paced.cpuSeconds / paced.wallSeconds, "s/s"},
                 {1, "s/s"}, "one core busy", CpuGoal, ""});
}

void UnpacedSerial()
{
    enum { Limit, Transfer };
    const std::vector<std::vector<double>> rates = InterleavedRounds(
        {
            [] { return PseudoTerminalOneByteRate(SerialImageSize); },
            [] { return PayloadRate(SerialImageSize, TransferOver(Link::Serial, {}, SerialImageSize)); },
        },
        Rounds);
    PrintRounds("serial, unpaced", rates[Transfer], rates[Limit], "B/s", "one-byte writes into a pseudo-terminal",
                UnpacedGoal);
}

// A network session with its board on `cores.board` and every thread of the
// updater on `cores.updater`: the board process keeps the processor of the
// thread that starts it.
std::unique_ptr<UpdaterSession> PlacedSession(const Cores& cores)
{
    PinProcess(cores.board);
    auto session = std::make_unique<UpdaterSession>(Link::Network);
    PinProcess(cores.updater);
    return session;
}

// The updater's blocks per second from Update to "Finish Update"; `cpu`
// gets the updater's own CPU seconds per block.
double PlacedUpdateRate(const Cores& cores, std::uint64_t blocks, std::vector<double>& cpu)
{
    const std::unique_ptr<UpdaterSession> session = PlacedSession(cores);
    const std::string image = WriteImage(*session, ImageName(NetworkImageSize), NetworkImageSize);
    const Usage usage = TimedUpdate(*session, image, NetworkImageSize);
    cpu.push_back(usage.cpuSeconds / static_cast<double>(blocks));
    return static_cast<double>(blocks) / usage.wallSeconds;
}

// On one processor the updater's and the board's work per block add up,
// while the ping-pong's two sides do none: says what the run measured of it.
void ExplainSharedProcessor(const std::string& name, const std::vector<std::vector<double>>& rates,
                            const std::vector<double>& updaterCpu)
{
    enum { PingPong, Ceiling };
    const double boardAlone = Median(rates[Ceiling]) / Median(rates[PingPong]);
    const double cycle = 1 / Median(rates[Ceiling]);
    std::ostringstream why;
    why << std::fixed << std::setprecision(2) << "the updater and the board share the processor, so "
        << "a block costs the work of both; the board alone reaches " << boardAlone
        << " of the ping-pong, and the updater's own work per block (" << std::setprecision(1)
        << Median(updaterCpu) * MicrosecondsPerSecond << " us) is " << std::setprecision(2)
        << Median(updaterCpu) / cycle << " of the board's cycle with a sender that does none ("
        << std::setprecision(1) << cycle * MicrosecondsPerSecond << " us)";
    PrintNotHeld(name, why.str());
}

// What the simulated board itself allows: a plain sender's block cycles.
double PlacedBoardCeiling(const Cores& cores, std::uint64_t blocks)
{
    const std::unique_ptr<UpdaterSession> session = PlacedSession(cores);
    return BoardPingPongRate(Form1->IdUDPClient1->Host, BoardRequestPort, blocks);
}

// The update, the board's ceiling and the ping-pong, each with its two sides
// placed alike, so that their ratios compare like with like.
void NetworkPlaced(Placement placement, const Cores& cores)
{
    const ProcessorsRestored restored;
    const std::uint64_t blocks = NetworkImageSize / ImageBlockSize + 1;
    enum { PingPong, Ceiling, Update };
    std::vector<double> updaterCpu;
    const std::vector<std::vector<double>> rates = InterleavedRounds(
        {
            [&] { return DatagramPingPongRate(blocks, cores); },
            [&] { return PlacedBoardCeiling(cores, blocks); },
            [&] { return PlacedUpdateRate(cores, blocks, updaterCpu); },
        },
        Rounds);
    const std::string where = ", " + PlacementName(placement);
    const std::string name = "network, loopback UDP" + where;
    // Two processors: each side has its own, and the ping-pong is the limit.
    // One: the figures are told, and why the goal cannot be held there.
    const bool shared = placement == Placement::SameCore;
    const Goal goal = shared ? Goal::UnderCeiling() : NetworkGoal;
    PrintRounds(name, rates[Update], rates[PingPong], "blocks/s", "datagram ping-pong", goal);
    PrintRounds(name, rates[Update], rates[Ceiling], "blocks/s", "the simulated board's own ceiling",
                Goal::UnderCeiling());
    // The board must not be what holds the updater back.
    PrintRounds("simulated board alone" + where, rates[Ceiling], rates[PingPong], "blocks/s", "datagram ping-pong",
                goal);
    if (shared)
        ExplainSharedProcessor(name, rates, updaterCpu);
}

void Network()
{
    const std::vector<int> allowed = AllowedCpus();
    for (const Placement placement : Placements) {
        if (const std::optional<Cores> cores = CoresFor(placement, allowed)) {
            NetworkPlaced(placement, *cores);
            continue;
        }
        PrintSkipped("network, loopback UDP, " + PlacementName(placement),
                     "cannot be held: only processor " + std::to_string(allowed.front())
                         + " is available to this process, so the updater and the board share it");
    }
}

// Runs this program once more for one transfer of `size` bytes and returns the
// peak memory it printed, in KiB.
double PeakMemoryOfRun(std::uint64_t size)
{
    const std::string what = "the run of " + std::to_string(size / MiB) + " MiB";
    const CommandResult run = RunToEnd(QCoreApplication::applicationFilePath().toStdString(),
                                       {PeakMemoryOption.toStdString(), std::to_string(size)}, MemoryRunLimitMs, what);
    if (run.exitCode != 0)
        throw std::runtime_error(what + " failed");
    const std::string& output = run.output;
    const std::size_t at = output.find(PeakLinePrefix);
    if (at == std::string::npos)
        throw std::runtime_error(what + " printed no peak");
    return std::stod(output.substr(at + PeakLinePrefix.size()));
}

void Memory()
{
    const double small = PeakMemoryOfRun(SmallMemoryImage) / KiBPerMiB;
    const double large = PeakMemoryOfRun(LargeMemoryImage) / KiBPerMiB;
    std::ostringstream peaks;
    peaks << std::fixed << std::setprecision(1) << "peaks " << large << " and " << small << " MiB";
    PrintFigure({"memory, 64 MiB less 1 MiB, network", {large - small, "MiB"}, {MemoryLimitMiB, "MiB"},
                 "what the stream may add", BelowLimit, peaks.str()});
}

// The fleets whose live view is measured on a terminal.
constexpr std::array TerminalFleetSizes{8, 64, 256};

// One fleet, updated a few times: the least wall time, CPU time and peak
// memory of the runs, as the machine's other work only adds to each. The
// first run also pays for what the machine has not cached yet. A fleet of
// TerminalFleetSizes is also updated once on a terminal.
FleetRun BestFleetRun(const std::string& image, int boards, std::vector<TerminalRun>& terminalRuns)
{
    const BoardFleet fleet(boards);
    if (std::find(TerminalFleetSizes.begin(), TerminalFleetSizes.end(), boards) != TerminalFleetSizes.end())
        terminalRuns.push_back(UpdateFleetOnTerminal(CommandLineUpdater, image, fleet));
    FleetRun best = UpdateFleet(CommandLineUpdater, image, FleetImageSize, fleet);
    for (int round = 1; round < FleetRounds; ++round) {
        const FleetRun run = UpdateFleet(CommandLineUpdater, image, FleetImageSize, fleet);
        best.wallSeconds = std::min(best.wallSeconds, run.wallSeconds);
        best.cpuSeconds = std::min(best.cpuSeconds, run.cpuSeconds);
        best.boardCpuSeconds = std::min(best.boardCpuSeconds, run.boardCpuSeconds);
        best.peakMiB = std::min(best.peakMiB, run.peakMiB);
    }
    return best;
}

// The command-line updater on N boards at once against one board alone.
void Boards()
{
    if (!std::filesystem::exists(CommandLineUpdater)) {
        PrintSkipped("boards", "orvenda-update not built (" + CommandLineUpdater.string() + ")");
        return;
    }
    QTemporaryDir folder;
    if (!folder.isValid())
        throw std::runtime_error("no temporary folder for the image");
    const std::string image = folder.filePath(QStringLiteral("fleet.hex")).toStdString();
    WriteImageAt(image, FleetImageSize);
    // A thousand boards' pipes need more than the usual 1024 descriptors.
    RaiseDescriptorLimit();
    std::vector<FleetRun> runs;
    std::vector<TerminalRun> terminalRuns;
    for (const int boards : FleetSizes)
        runs.push_back(BestFleetRun(image, boards, terminalRuns));
    for (const Figure& figure : FleetFigures(runs))
        PrintFigure(figure);
    for (const TerminalRun& run : terminalRuns) {
        for (const Figure& figure : TerminalFigures(run))
            PrintFigure(figure);
    }
}

// Runs one benchmark; a failure is printed in place of its figures.
bool Measured(const std::string& name, const std::function<void()>& benchmark)
{
    try {
        benchmark();
        return true;
    } catch (const std::exception& error) {
        PrintNotMeasured(name, error.what());
        return false;
    }
}

struct Benchmark {
    const char* name;
    std::function<void()> run;
};

// The CPU figure comes from the paced run at 115200 baud.
std::vector<Benchmark> Benchmarks()
{
    return {
        {"paced", [] { Cpu(PacedSerial(SlowBaud)); PacedSerial(FastBaud); }},
        {"unpaced", UnpacedSerial},
        {"network", Network},
        {"memory", Memory},
        {"boards", Boards},
        {"switch", [] { PrintFigure(SchedulerSwitchFigure()); }},
    };
}

bool KnownNames(const QStringList& names)
{
    const std::vector<Benchmark> benchmarks = Benchmarks();
    return std::all_of(names.begin(), names.end(), [&](const QString& name) {
        return std::any_of(benchmarks.begin(), benchmarks.end(),
                           [&](const Benchmark& benchmark) { return name == QLatin1String(benchmark.name); });
    });
}

std::string NameList()
{
    std::string list;
    for (const Benchmark& benchmark : Benchmarks())
        list += (list.empty() ? "" : "|") + std::string(benchmark.name);
    return list;
}

// What else the machine was doing: the figures of a busy machine swing.
void PrintMachine()
{
    std::string load;
    std::ifstream("/proc/loadavg") >> load;
    std::cout << "# " << std::thread::hardware_concurrency() << " processors (" << AllowedCpus().size()
              << " for this run), load average " << load
              << " at the start; unpaced rates and their limits are taken in " << Rounds
              << " interleaved rounds, their ratio the median; the boards' figures the least of " << FleetRounds
              << " runs" << std::endl;
}

int Run(const QStringList& names)
{
    PrintMachine();
    bool all = true;
    for (const Benchmark& benchmark : Benchmarks()) {
        if (names.isEmpty() || names.contains(QLatin1String(benchmark.name)))
            all = Measured(benchmark.name, benchmark.run) && all;
    }
    return all ? EXIT_SUCCESS : EXIT_FAILURE;
}

int RunPeakMemory(std::uint64_t size)
{
    try {
        TransferOver(MemoryLink, {}, size);
    } catch (const std::exception& error) {
        std::cerr << "peak memory run: " << error.what() << std::endl;
        return EXIT_FAILURE;
    }
    std::cout << PeakLinePrefix << PeakResidentKiB() << std::endl;
    return EXIT_SUCCESS;
}

constexpr int UsageError = 2;

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (!arguments.isEmpty() && arguments.first() == PeakMemoryOption) {
        bool isNumber = false;
        const qulonglong size = arguments.size() == 2 ? arguments[1].toULongLong(&isNumber) : 0;
        if (isNumber)
            return RunPeakMemory(size);
    } else if (KnownNames(arguments)) {
        return Run(arguments);
    }
    std::cerr << "usage: updater_bench [" << NameList() << "]... | --peak-memory BYTES" << std::endl;
    return UsageError;
}
