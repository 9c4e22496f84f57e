// The benchmarks' measuring code: a limit that stalls, a failed transfer that
// still gives a figure, or a report that reads a missed goal as met would make
// every printed figure worthless.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <array>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <vector>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/Application.h"
#include "app/Unit1.h"
#include "bench/Boards.h"
#include "bench/Command.h"
#include "bench/LinkLimits.h"
#include "bench/Placement.h"
#include "bench/Report.h"
#include "bench/Rounds.h"
#include "bench/Transfers.h"
#include "bench/Usage.h"
#include "network/IdUDPClient.h"

namespace {

constexpr std::size_t FewBytes = 4096;
// The longest a run of the benchmark command may take here; it bounds a hang.
constexpr int CommandBoundMs = 10000;
constexpr std::size_t FewCycles = 50;
// Far above the benchmark's fleets, and a pair of addresses for each test, so
// that tests that run at the same time never share a board's port.
constexpr int TestFleetHost = 200;

std::string PrintedLine(const Figure& figure)
{
    ::testing::internal::CaptureStdout();
    PrintFigure(figure);
    return ::testing::internal::GetCapturedStdout();
}

TEST(LinkLimits, BothLimitsEndWithAPositiveRate)
{
    const double pseudoTerminal = PseudoTerminalOneByteRate(FewBytes);
    EXPECT_TRUE(std::isfinite(pseudoTerminal) && pseudoTerminal > 0) << pseudoTerminal;
    for (const Placement placement : Placements) {
        const std::optional<Cores> cores = CoresFor(placement, AllowedCpus());
        if (!cores)
            continue;  // one processor: the sides cannot be apart
        const double pingPong = DatagramPingPongRate(FewCycles, *cores);
        EXPECT_TRUE(std::isfinite(pingPong) && pingPong > 0) << PlacementName(placement) << ": " << pingPong;
    }
}

std::vector<int> CpusOf(pthread_t thread)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    EXPECT_EQ(::pthread_getaffinity_np(thread, sizeof set, &set), 0);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            cpus.push_back(cpu);
    }
    return cpus;
}

// A thread the process started before the pin (as the toolkit's are) is
// pinned with it, and every thread gets its processors back afterwards.
TEST(Placement, TheWholeProcessIsPinnedAndFreedAgain)
{
    const std::vector<int> allowed = AllowedCpus();
    const std::optional<Cores> apart = CoresFor(Placement::CrossCore, allowed);
    EXPECT_EQ(apart.has_value(), allowed.size() > 1);
    if (apart) {
        EXPECT_NE(apart->updater, apart->board);
    }
    EXPECT_FALSE(CoresFor(Placement::CrossCore, {allowed.front()}).has_value());
    const int last = allowed.back();
    std::promise<void> finish;
    std::thread other([done = finish.get_future()] { done.wait(); });
    {
        const ProcessorsRestored restored;
        PinProcess(last);
        EXPECT_EQ(CpusOf(other.native_handle()), std::vector<int>{last});
        EXPECT_EQ(CpusOf(::pthread_self()), std::vector<int>{last});
    }
    EXPECT_EQ(CpusOf(other.native_handle()), allowed);
    EXPECT_EQ(CpusOf(::pthread_self()), allowed);
    finish.set_value();
    other.join();
}

TEST(LinkLimits, TheBoardsCeilingIsMeasuredWithFramesTheBoardTakes)
{
    UpdaterSession session(Link::Network);
    const double rate = BoardPingPongRate(Form1->IdUDPClient1->Host, BoardRequestPort, FewCycles);
    EXPECT_TRUE(std::isfinite(rate) && rate > 0) << rate;
    const auto kept = session.board->Kept("burn0.bin");
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->size(), FewCycles * ImageBlockSize);
    EXPECT_EQ(session.board->Count("bad_frames"), 0u);
    EXPECT_EQ(session.board->Count("refused"), 0u);
}

TEST(Report, OneLineHoldsTheFigureItsLimitTheRatioAndTheVerdict)
{
    const std::string line = PrintedLine(
        {"serial, paced at 115200 baud", {11364, "B/s"}, {11520, "B/s"}, "line rate, 8N1", Goal::AtLeast(0.95), ""});
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    for (const char* part : {"serial, paced at 115200 baud", "11364 B/s", "limit 11520 B/s (line rate, 8N1)",
                             "ratio 0.986", "goal >= 0.95", " met"})
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
}

TEST(Report, VerdictsAtTheBoundsAndWithoutALimit)
{
    // "At least" takes its bound, "below" does not; a figure without a goal has no verdict.
    EXPECT_NE(PrintedLine({"a", {95, "B/s"}, {100, "B/s"}, "x", Goal::AtLeast(0.95), ""}).find(" met"),
              std::string::npos);
    EXPECT_NE(PrintedLine({"b", {2, "MiB"}, {2, "MiB"}, "x", Goal::Below(1.0), ""}).find("MISSED"), std::string::npos);
    const std::string informative = PrintedLine({"c", {1, "B/s"}, {2, "B/s"}, "x", Goal::Informative(), ""});
    EXPECT_EQ(informative.find("met"), std::string::npos);
    EXPECT_EQ(informative.find("MISSED"), std::string::npos);
    // A limit that could not be measured never makes a goal look met.
    EXPECT_NE(PrintedLine({"d", {5, "B/s"}, {0, "B/s"}, "x", Goal::AtLeast(0.8), ""}).find("MISSED"),
              std::string::npos);
}

// A figure well above what should be its ceiling says the limit was measured
// wrongly, not that the goal was met.
TEST(Report, AFigureAboveItsCeilingShowsTheLimitIsNoLimit)
{
    const std::string above = PrintedLine({"a", {106, "blocks/s"}, {100, "blocks/s"}, "x", Goal::AtLeast(0.9), ""});
    EXPECT_NE(above.find("ratio 1.060  goal >= 0.90  limit not a limit"), std::string::npos) << above;
    EXPECT_EQ(above.find(" met"), std::string::npos) << above;
    const std::string within = PrintedLine({"b", {105, "blocks/s"}, {100, "blocks/s"}, "x", Goal::AtLeast(0.9), ""});
    EXPECT_NE(within.find("goal >= 0.90  met"), std::string::npos) << within;
    const std::string ceiling = PrintedLine({"c", {3, "B/s"}, {2, "B/s"}, "x", Goal::UnderCeiling(), ""});
    EXPECT_NE(ceiling.find("goal none  limit not a limit"), std::string::npos) << ceiling;
    EXPECT_EQ(PrintedLine({"d", {1, "B/s"}, {2, "B/s"}, "x", Goal::UnderCeiling(), ""}).find("limit not"),
              std::string::npos);
    // A bound from above is no ceiling: more is simply missed.
    const std::string budget = PrintedLine({"e", {3, "MiB"}, {2, "MiB"}, "x", Goal::Below(1.0), ""});
    EXPECT_NE(budget.find("MISSED"), std::string::npos) << budget;
}

TEST(Rounds, TheMeasuresTakeTurnsAndTheRatiosMedianAndSpreadArePrinted)
{
    std::string order;
    const auto values = InterleavedRounds({[&] { order += 'L'; return 100.0; },
                                           [&] { order += 'F'; return static_cast<double>(order.size()); }},
                                          3);
    EXPECT_EQ(order, "LFLFLF");
    EXPECT_EQ(values[1], (std::vector<double>{2, 4, 6}));
    // Ratios 0.9, 0.7 and 1.2: the median is the middle one, not the mean
    // nor the ratio of the best figure to the best limit.
    const RatioSpread spread = RatiosOfRounds({90, 70, 120}, {100, 100, 100});
    EXPECT_DOUBLE_EQ(spread.median, 0.9);
    EXPECT_DOUBLE_EQ(spread.least, 0.7);
    EXPECT_DOUBLE_EQ(spread.most, 1.2);
    EXPECT_DOUBLE_EQ(Median({4, 1, 3, 2}), 2.5);
    EXPECT_THROW(RatiosOfRounds({1, 2}, {1}), std::invalid_argument);
    ::testing::internal::CaptureStdout();
    PrintFigure({"f", {90, "B/s"}, {100, "B/s"}, "x", Goal::AtLeast(0.8), ""}, spread);
    const std::string line = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(line.find("ratio 0.900  goal >= 0.80  met  (median of 3 rounds, spread 0.700..1.200)"),
              std::string::npos)
        << line;
}

std::string PrintedFleet(const std::vector<FleetRun>& runs)
{
    ::testing::internal::CaptureStdout();
    for (const Figure& figure : FleetFigures(runs))
        PrintFigure(figure);
    return ::testing::internal::GetCapturedStdout();
}

// Time against one board (goals at 8 and 256), memory per added board
// (peak(N) - peak(1)) / (N - 1), the updater's CPU per block against 12 us
// (goal at 256) and at 1024 against 256, both sides' CPU per block shown.
TEST(Report, AFleetIsHeldToItsGoalsAndShownAtOtherSizes)
{
    constexpr int Blocks = 256;
    // Boards, wall s, updater CPU s, boards' CPU s, peak MiB, blocks: 10 us of
    // the updater a block up to 64 boards, 12 at 256, 15 at 1024.
    const std::vector<FleetRun> runs{{1, 1.0, 0.00256, 0.00512, 10.0, Blocks},
                                     {8, 1.25, 0.02048, 0.04096, 11.75, 8 * Blocks},
                                     {64, 2.0, 0.16384, 0.32768, 26.0, 64 * Blocks},
                                     {256, 2.5, 0.786432, 1.31072, 80.0, 256 * Blocks},
                                     {1024, 9.0, 3.93216, 5.24288, 300.0, 1024 * Blocks}};
    const std::string printed = PrintedFleet(runs);
    for (const char* part : {"boards, 8 at once over UDP", "limit 1 s (one board alone", "ratio 1.250  goal <= 1.25  met",
                             "ratio 2.000  goal none", "ratio 2.500  goal <= 2.50  met",
                             "boards, 8: memory per added board", "limit 0.25 MiB", "0.275 MiB",
                             "ratio 1.098  goal <= 1.00  MISSED", "(peaks 80.0 and 10.0 MiB)",
                             "CPU per block: updater 10.0 us, boards 20.0 us",
                             "boards, 256: updater CPU per block", "limit 12 us (what one core may spend",
                             "ratio 1.000  goal <= 1.00  met", "limit 12 us (the same at 256 boards)",
                             "ratio 1.250  goal <= 1.10  MISSED"})
        EXPECT_NE(printed.find(part), std::string::npos) << part << " in " << printed;
    std::vector<FleetRun> slower = runs;
    slower[3].wallSeconds = 2.6;
    slower[3].cpuSeconds = 1.0;
    const std::string missed = PrintedFleet(slower);
    EXPECT_NE(missed.find("ratio 2.600  goal <= 2.50  MISSED"), std::string::npos) << missed;
    EXPECT_NE(missed.find("ratio 1.272  goal <= 1.00  MISSED"), std::string::npos) << missed;
    EXPECT_THROW(FleetFigures({runs[0], runs[4]}), std::invalid_argument);  // 1024 without 256
}

// 256 boards do not fit in 127.0.0.0/24: the fleet spreads into the next
// ones, every board on an address of its own, none on a .0 or .255.
TEST(Fleet, ManyBoardsSpreadBeyondOneNetworkOnAddressesOfTheirOwn)
{
    constexpr int Many = 256;
    const std::vector<std::string> addresses = FleetAddresses(Many);
    ASSERT_EQ(addresses.size(), static_cast<std::size_t>(Many));
    EXPECT_EQ(addresses.front(), "127.0.0.2");
    EXPECT_EQ(addresses[252], "127.0.0.254");
    EXPECT_EQ(addresses[253], "127.0.1.1");
    EXPECT_EQ(std::set<std::string>(addresses.begin(), addresses.end()).size(), addresses.size());
    for (const std::string& address : addresses) {
        in_addr parsed{};
        ASSERT_EQ(::inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
        const std::uint32_t host = ntohl(parsed.s_addr);
        EXPECT_EQ(host >> 24, 127u) << address;
        EXPECT_NE(host & 0xFF, 0u) << address;
        EXPECT_NE(host & 0xFF, 0xFFu) << address;
    }
    EXPECT_EQ(FleetAddresses(1, 254 * 256 + 1).front(), "127.1.0.1");
}

// Another program holding a board's address and port: the fleet names the
// address before it starts a board, instead of a board that ended early.
TEST(Fleet, AnAddressInUseIsNamedBeforeAnyBoardStarts)
{
    constexpr int TakenHost = TestFleetHost + 5;
    const std::vector<std::string> addresses = FleetAddresses(3, TakenHost - 1);
    const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in taken{};
    taken.sin_family = AF_INET;
    taken.sin_port = htons(BoardRequestPort);
    ASSERT_EQ(::inet_pton(AF_INET, addresses[1].c_str(), &taken.sin_addr), 1);
    ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&taken), sizeof taken), 0);
    const std::string expected = "address " + addresses[1] + ":3333 is in use by another program";
    try {
        BoardFleet fleet(3, TakenHost - 1);
        ADD_FAILURE() << "the fleet started beside a taken address";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), expected);
    }
    ::close(holder);
    EXPECT_NO_THROW(CheckAddressesFree(addresses, BoardRequestPort));
}

// Each board of a fleet answers on its own address and keeps its own image.
TEST(Fleet, BoardsOnAddressesOfTheirOwnTakeAStreamAndStop)
{
    BoardFleet fleet(2, TestFleetHost);
    EXPECT_EQ(fleet.AddressList(), "127.0.0.200,127.0.0.201");
    for (std::size_t k = 0; k < fleet.Size(); ++k) {
        const double rate = BoardPingPongRate(fleet.Address(k), BoardRequestPort, FewCycles);
        EXPECT_TRUE(std::isfinite(rate) && rate > 0) << rate;
        const auto kept = fleet.Kept(k, "burn0.bin");
        ASSERT_TRUE(kept.has_value()) << "board " << k;
        EXPECT_EQ(kept->size(), FewCycles * ImageBlockSize) << "board " << k;
    }
    EXPECT_EQ(fleet.StopAll(), fleet.Size()) << "every board ends cleanly";
}

// Stand-ins for the command-line updater that do not do its work: a run
// gives a figure only when the command ended well, reported every board done
// and every board kept the image.
TEST(Fleet, ARunThatDidNotUpdateEveryBoardGivesNoFigure)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    constexpr std::uint64_t Size = 3000;
    const std::string image = folder.filePath(QStringLiteral("fleet.hex")).toStdString();
    WriteImageAt(image, Size);
    const auto command = [&](const std::string& name, const std::string& body) {
        const std::filesystem::path path = folder.filePath(QString::fromStdString(name)).toStdString();
        std::ofstream(path) << "#!/bin/sh\n" << body;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    };
    const std::string done = "echo '{\"event\":\"done\"}'\n";
    BoardFleet fleet(2, TestFleetHost + 2);
    EXPECT_THROW(UpdateFleet(command("fails", done + done + "exit 1\n"), image, Size, fleet), std::runtime_error);
    EXPECT_THROW(UpdateFleet(command("one", done), image, Size, fleet), std::runtime_error);
    EXPECT_THROW(UpdateFleet(command("idle", done + done), image, Size, fleet), std::runtime_error);
}

TEST(Usage, PeakMemoryFollowsWhatTheProcessTouches)
{
    // The peak only ever grows: without the reset, a second run of this test
    // (or any earlier test that held more) would leave it where it was. The
    // memory is mapped and unmapped directly, so that it leaves the process
    // when released whatever the allocator (or a sanitizer's) keeps.
    constexpr std::size_t Touched = 64 * 1024 * 1024;
    constexpr std::int64_t TouchedKiB = Touched / 1024;
    ResetPeakResident();
    const std::int64_t before = PeakResidentKiB();
    void* memory = ::mmap(nullptr, Touched, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    std::memset(memory, 1, Touched);
    EXPECT_GE(PeakResidentKiB() - before, TouchedKiB / 2);
    ASSERT_EQ(::munmap(memory, Touched), 0);
    // Released, the memory stays in the peak until the next reset.
    const std::int64_t kept = PeakResidentKiB();
    EXPECT_GE(kept - before, TouchedKiB / 2);
    ResetPeakResident();
    EXPECT_LT(PeakResidentKiB(), kept - TouchedKiB / 2);
}

// Busy work that no optimiser can drop.
std::uint64_t Spin(std::uint64_t rounds)
{
    std::uint64_t state = 1;
    for (std::uint64_t k = 0; k < rounds; ++k)
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state;
}

double ThreadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(Usage, TheCpuTimeCoversEveryThreadAndFitsInTheWallTime)
{
    // Two threads' own CPU clocks against the stopwatch of the whole process:
    // a stopwatch that saw only the calling thread, or measured wall and CPU
    // time in different units, breaks one of the bounds. Both hold however
    // busy the machine is.
    constexpr std::uint64_t Rounds = 50'000'000;
    std::array<double, 2> threadCpu{};
    std::array<std::uint64_t, 2> results{};
    const Stopwatch stopwatch;
    {
        std::vector<std::thread> workers;
        for (std::size_t k = 0; k < threadCpu.size(); ++k) {
            workers.emplace_back([&, k] {
                const double start = ThreadCpuSeconds();
                results[k] = Spin(Rounds);
                threadCpu[k] = ThreadCpuSeconds() - start;
            });
        }
        for (std::thread& worker : workers)
            worker.join();
    }
    const Usage usage = stopwatch.Elapsed();
    EXPECT_EQ(results[0], results[1]);
    // The process clock counts in microseconds; the threads' in nanoseconds.
    constexpr double Rounding = 1e-5;
    EXPECT_GE(usage.cpuSeconds + Rounding, threadCpu[0] + threadCpu[1]);
    EXPECT_GE(usage.wallSeconds + Rounding, std::max(threadCpu[0], threadCpu[1]));
    EXPECT_GT(threadCpu[0], 0);
}

class TimedTransfer : public ::testing::TestWithParam<Link> {};

TEST_P(TimedTransfer, AWholeImageGivesItsCost)
{
    UpdaterSession session(GetParam());
    // Across a piece of the image writer, so that pieces join without a seam.
    constexpr std::uint64_t Size = 64 * 1024 + 3000;
    const std::string path = WriteImage(session, "image.hex", Size);
    ASSERT_EQ(std::filesystem::file_size(path), Size);
    const Usage usage = TimedUpdate(session, path, Size);
    // Sending a whole image costs the process CPU time; a cost of nothing is
    // a stopwatch that missed the transfer.
    EXPECT_GT(usage.cpuSeconds, 0);
    EXPECT_GT(usage.wallSeconds, 0);
}

TEST_P(TimedTransfer, AnErrorTheUpdaterReportedGivesNoFigure)
{
    UpdaterSession session(GetParam(), {"--no-answer"});
    session.ShortenWatchdog(50);
    const std::string path = WriteImage(session, "image.hex", 100);
    EXPECT_THROW(TimedUpdate(session, path, 100), std::runtime_error);
    EXPECT_THROW(TimedUpdate(session, session.windows.PathOf("missing.hex"), 100), std::runtime_error);
}

TEST_P(TimedTransfer, AnImageTheBoardDidNotKeepAsSentGivesNoFigure)
{
    UpdaterSession session(GetParam());
    constexpr std::uint64_t Size = 3000;
    const std::string path = WriteImage(session, "image.hex", Size);
    // Once the transfer waits for its first answer, the first block has gone
    // out: a byte of it changes on disk, and the board keeps the old one.
    std::function<void()> changeSentByte = [&] {
        if (!Form1->TransferRunning()) {
            QTimer::singleShot(0, changeSentByte);
            return;
        }
        std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).put('\x5A');
    };
    QTimer::singleShot(0, changeSentByte);
    // The transfer itself tells that the board's copy is not the file.
    EXPECT_THROW(TimedUpdate(session, path, Size), std::runtime_error);
    const std::vector<SeenBox> errors = session.BoxesCaptioned(ProgramName);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].text.contains("changed while it was sent")) << errors[0].text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Links, TimedTransfer, ::testing::Values(Link::Serial, Link::Network),
                         [](const auto& info) { return LinkName(info.param); });

// The run's own cost, as the fleet's figures take it: its peak is at least
// what the run itself saw, and sending an image costs it CPU time.
TEST(BenchCommand, AMemoryRunPrintsItsPeakAndABadCommandLineIsRefused)
{
    const CommandResult memory = RunToEnd(UPDATER_BENCH_PATH, {"--peak-memory", "100000"}, CommandBoundMs, "run");
    EXPECT_EQ(memory.exitCode, 0);
    const std::string prefix = "peak_kib ";
    ASSERT_EQ(memory.output.rfind(prefix, 0), 0u) << memory.output;
    EXPECT_GE(memory.peakKiB, std::stoll(memory.output.substr(prefix.size())));
    EXPECT_GT(memory.cpuSeconds, 0);

    QProcess run;

    for (const QStringList& bad : {QStringList{"nonsense"}, QStringList{"--peak-memory"},
                                   QStringList{"--peak-memory", "12x"}}) {
        run.start(QStringLiteral(UPDATER_BENCH_PATH), bad);
        ASSERT_TRUE(run.waitForFinished(CommandBoundMs))
            << "the refusal of '" << bad.join(' ').toStdString() << "' did not end within 10 s";
        EXPECT_EQ(run.exitCode(), 2) << bad.join(' ').toStdString();
    }
}

} // namespace
