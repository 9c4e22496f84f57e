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
#include <limits>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/Application.h"
#include "app/Unit1.h"
#include "bench/Boards.h"
#include "bench/Command.h"
#include "bench/LinkLimits.h"
#include "bench/Report.h"
#include "bench/Transfers.h"
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
const Goal UnpacedGoal = Goal::AtLeast(0.8);
const Goal NetworkGoal = Goal::AtLeast(0.9);
const Goal BelowLimit = Goal::Below(1.0);
const Goal CpuGoal = Goal::Below(0.03);
constexpr double MemoryLimitMiB = 2;

// The unpaced links' rates swing with whatever else the machine runs, the
// limits' as much as the transfers': each is measured this many times, in
// turns with its limit, and the best of each is kept.
constexpr int Rounds = 5;

// The memory runs use the faster of the two unpaced links; a 64 MiB image
// takes seconds over UDP and minutes over the pseudo-terminal.
constexpr Link MemoryLink = Link::Network;

// The fleets that the command-line updater updates at once, each held against
// one board alone.
constexpr std::array FleetSizes{2, 4, 8, 64};
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

// The best rate of each measure, the measures taken in turns.
std::vector<double> BestOfRounds(const std::vector<std::function<double()>>& measures)
{
    std::vector<double> best(measures.size(), 0);
    for (int round = 0; round < Rounds; ++round) {
        for (std::size_t k = 0; k < measures.size(); ++k)
            best[k] = std::max(best[k], measures[k]());
    }
    return best;
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
    const std::vector<double> best = BestOfRounds({
        [] { return PayloadRate(SerialImageSize, TransferOver(Link::Serial, {}, SerialImageSize)); },
        [] { return PseudoTerminalOneByteRate(SerialImageSize); },
    });
    PrintFigure({"serial, unpaced", {best[0], "B/s"}, {best[1], "B/s"}, "one-byte writes into a pseudo-terminal",
                 UnpacedGoal, ""});
}

// What the simulated board itself allows: a plain sender's block cycles.
double BoardCeiling(std::uint64_t blocks)
{
    UpdaterSession session(Link::Network);
    return BoardPingPongRate(Form1->IdUDPClient1->Host, BoardRequestPort, blocks);
}

void Network()
{
    const std::uint64_t blocks = NetworkImageSize / ImageBlockSize + 1;
    const std::vector<double> best = BestOfRounds({
        [&] { return static_cast<double>(blocks) / TransferOver(Link::Network, {}, NetworkImageSize).wallSeconds; },
        [&] { return DatagramPingPongRate(blocks); },
        [&] { return BoardCeiling(blocks); },
    });
    const std::string name = "network, loopback UDP";
    PrintFigure({name, {best[0], "blocks/s"}, {best[1], "blocks/s"}, "datagram ping-pong", NetworkGoal, ""});
    PrintFigure({name, {best[0], "blocks/s"}, {best[2], "blocks/s"}, "the simulated board's own ceiling",
                 Goal::Informative(), ""});
    // The board must not be what holds the updater back.
    PrintFigure({"simulated board, a plain sender", {best[2], "blocks/s"}, {best[1], "blocks/s"},
                 "datagram ping-pong", NetworkGoal, ""});
}

// Runs this program once more for one transfer of `size` bytes and returns the
// peak memory it printed, in KiB.
double PeakMemoryOfRun(std::uint64_t size)
{
    const std::string what = "the run of " + std::to_string(size / MiB) + " MiB";
    const CommandResult run = RunToEnd(QCoreApplication::applicationFilePath(),
                                       {PeakMemoryOption, QString::number(size)}, MemoryRunLimitMs, what);
    if (run.exitCode != 0)
        throw std::runtime_error(what + " failed");
    const std::string output = run.output.toStdString();
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

// The command-line updater's wall time for N boards at once against one board's.
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
    // The fastest of a few runs on the same boards: the first run also pays
    // for what the machine has not cached yet.
    const auto timed = [&](int boards) {
        const BoardFleet fleet(boards);
        double best = std::numeric_limits<double>::infinity();
        for (int round = 0; round < FleetRounds; ++round)
            best = std::min(best, UpdateFleet(CommandLineUpdater, image, FleetImageSize, fleet));
        return best;
    };
    const double oneBoard = timed(1);
    for (const int boards : FleetSizes)
        PrintFigure(FleetFigure(boards, timed(boards), oneBoard));
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
    std::cout << "# " << std::thread::hardware_concurrency() << " processors, load average " << load
              << " at the start; unpaced rates and their limits are the best of " << Rounds
              << " rounds, the boards' times the best of " << FleetRounds << std::endl;
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
