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
#include <vector>
#include <sys/mman.h>

#include "app/Application.h"
#include "app/Unit1.h"
#include "bench/Boards.h"
#include "bench/LinkLimits.h"
#include "bench/Report.h"
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
    const double pingPong = DatagramPingPongRate(FewCycles);
    EXPECT_TRUE(std::isfinite(pseudoTerminal) && pseudoTerminal > 0) << pseudoTerminal;
    EXPECT_TRUE(std::isfinite(pingPong) && pingPong > 0) << pingPong;
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

TEST(Report, AFleetIsHeldToItsGoalAtEightBoardsAndShownAtOthers)
{
    const std::string eight = PrintedLine(FleetFigure(8, 1.25, 1.0));
    for (const char* part : {"boards, 8 at once over UDP", "limit 1 s (one board alone", "ratio 1.250",
                             "goal <= 1.25  met"})
        EXPECT_NE(eight.find(part), std::string::npos) << part << " in " << eight;
    EXPECT_NE(PrintedLine(FleetFigure(8, 1.3, 1.0)).find("MISSED"), std::string::npos);
    const std::string many = PrintedLine(FleetFigure(64, 3.0, 1.0));
    EXPECT_NE(many.find("ratio 3.000  goal none"), std::string::npos) << many;
}

// Each board of a fleet answers on its own address and keeps its own image.
TEST(Fleet, BoardsOnAddressesOfTheirOwnTakeAStreamAndStop)
{
    BoardFleet fleet(2, TestFleetHost);
    EXPECT_EQ(fleet.AddressList(), "127.0.0.200,127.0.0.201");
    for (std::size_t k = 0; k < fleet.Size(); ++k) {
        const double rate = BoardPingPongRate(fleet.Address(k), BoardRequestPort, FewCycles);
        EXPECT_TRUE(std::isfinite(rate) && rate > 0) << rate;
        const auto kept = fleet.Board(k).Kept("burn0.bin");
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

TEST(BenchCommand, AMemoryRunPrintsItsPeakAndABadCommandLineIsRefused)
{
    QProcess run;
    run.start(QStringLiteral(UPDATER_BENCH_PATH), {QStringLiteral("--peak-memory"), QStringLiteral("100000")});
    ASSERT_TRUE(run.waitForFinished(CommandBoundMs)) << "the memory run did not end within 10 s";
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_TRUE(run.readAllStandardOutput().startsWith("peak_kib "));

    for (const QStringList& bad : {QStringList{"nonsense"}, QStringList{"--peak-memory"},
                                   QStringList{"--peak-memory", "12x"}}) {
        run.start(QStringLiteral(UPDATER_BENCH_PATH), bad);
        ASSERT_TRUE(run.waitForFinished(CommandBoundMs))
            << "the refusal of '" << bad.join(' ').toStdString() << "' did not end within 10 s";
        EXPECT_EQ(run.exitCode(), 2) << bad.join(' ').toStdString();
    }
}

} // namespace
