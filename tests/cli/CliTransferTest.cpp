// orvenda-update against the simulated board: every transfer over a
// pseudo-terminal and over UDP arrives byte for byte; many boards at once;
// the link saved in ZEVEVI.CFG; the update history.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonArray>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <memory>
#include <numeric>

#include "cli/Reporter.h"
#include "tests/cli/CliRunner.h"
#include "tests/e2e/UpdaterSession.h"
#include "tests/serial/DeviceShim.h"
#include "tests/support/BoardSim.h"

namespace {

const std::string Password = "marsh17";

enum class CliLinkKind { Serial, Udp };

// A simulated board behind one link, and the options that reach it.
struct LinkedBoard {
    explicit LinkedBoard(CliLinkKind kind, std::vector<std::string> options = {}, int address = 1)
    {
        const std::string where = kind == CliLinkKind::Serial ? "--pty" : "--udp";
        options.insert(options.begin(), where);
        if (kind == CliLinkKind::Udp)
            options.insert(options.begin() + 1, LoopbackAddress(address));
        board = std::make_unique<BoardSim>(options);
        name = kind == CliLinkKind::Serial ? board->PtyPath() : LoopbackAddress(address);
        linkOptions = kind == CliLinkKind::Serial ? QStringList{"--serial", QString::fromStdString(name)}
                                                  : QStringList{"--udp", QString::fromStdString(name)};
    }
    std::unique_ptr<BoardSim> board;
    std::string name;
    QStringList linkOptions;
};

struct TransferCase {
    const char* name;
    CliLinkKind link;
};

class CliTransfers : public ::testing::TestWithParam<TransferCase> {
protected:
    CliFolder folder;
    LinkedBoard target{GetParam().link};

    CliOutcome Run(QStringList arguments)
    {
        return folder.Run(arguments << target.linkOptions << "--json");
    }

    void ExpectUpdated(const CliOutcome& outcome)
    {
        EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
        const QJsonObject done = outcome.DoneOf(target.name);
        EXPECT_EQ(done.value("outcome").toString(), "updated") << outcome.Printed();
        EXPECT_EQ(done.value("missingAnswers").toInt(), 0);
        EXPECT_EQ(done.value("boardErrors").toInt(), 0);
    }
};

TEST_P(CliTransfers, FirmwareArrivesByteForByteInBurnBlockZero)
{
    const std::string image = folder.WriteFile("app.hex", 5000);
    const CliOutcome outcome = Run({"firmware", "app.hex"});
    ExpectUpdated(outcome);
    EXPECT_EQ(outcome.DoneOf(target.name).value("bytes").toInteger(), 5000);
    EXPECT_TRUE(SameBytes(target.board->Kept("burn0.bin"), image));
    EXPECT_FALSE(target.board->Kept("burn1.bin"));
}

TEST_P(CliTransfers, BiosWithItsPasswordArrivesInBurnBlockOne)
{
    const std::string image = folder.WriteFile("QLTBIOS.HEX", 2048);  // fills its blocks exactly
    folder.WriteBytes("bios.pw", Password + "\n");
    ExpectUpdated(Run({"bios", "QLTBIOS.HEX", "--password-file", "bios.pw"}));
    EXPECT_TRUE(SameBytes(target.board->Kept("burn1.bin"), image));
    EXPECT_FALSE(target.board->Kept("burn0.bin"));
    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_NE(history.out.find("\"kind\":\"bios\""), std::string::npos) << history.out;
}

TEST_P(CliTransfers, FlashFilesArriveUnderTheirNamesAndEachIsInTheHistory)
{
    const std::vector<std::string> names = {"logo.bin", "fonts.bin", "menu.bin"};
    const std::vector<std::size_t> sizes = {1300, 512, 2048};
    std::vector<std::string> contents;
    QStringList arguments{"flash"};
    for (std::size_t k = 0; k < names.size(); ++k) {
        contents.push_back(folder.WriteFile(names[k], sizes[k]));
        arguments << QString::fromStdString(names[k]);
    }
    const CliOutcome outcome = Run(arguments);
    ExpectUpdated(outcome);
    // The progress runs over the files together, to their whole size.
    const std::vector<QJsonObject> progress = outcome.Events("progress");
    ASSERT_FALSE(progress.empty()) << outcome.Printed();
    const std::size_t total = std::accumulate(sizes.begin(), sizes.end(), std::size_t{0});
    EXPECT_EQ(progress.back().value("bytes").toInteger(), static_cast<qint64>(total));
    for (std::size_t k = 0; k < names.size(); ++k)
        EXPECT_TRUE(SameBytes(target.board->Kept("flash/" + names[k]), contents[k])) << names[k];
    // One record per file, each naming its own.
    const std::string history = folder.Run({"history", "--json"}).out;
    EXPECT_EQ(std::count(history.begin(), history.end(), '\n'), static_cast<long>(names.size())) << history;
    for (const std::string& name : names)
        EXPECT_NE(history.find(folder.PathOf(name)), std::string::npos) << history;
}

TEST_P(CliTransfers, DataFileArrivesAsFlashDat)
{
    const std::string data = folder.WriteFile("settings.dat", 1700);
    ExpectUpdated(Run({"data", "settings.dat"}));
    EXPECT_TRUE(SameBytes(target.board->Kept("data/Flash.dat"), data));
    EXPECT_TRUE(AwaitFrame(*target.board, "SetBurnMode"));
}

// The data file's transfer ends with SetBurnMode, which gets no answer, and
// closing the port discards what the line has not sent: after a transfer that
// ran to its end, sound or unconfirmed, the port stays open until the output
// queue has run empty. The device shim, preloaded into the updater, holds each
// write in the queue for a while, as a slow line does, and tells whether the
// port was closed with bytes still queued.
struct DrainCase {
    const char* name;
    std::vector<std::string> boardFaults;
    const char* outcome;
};

class CliSerialDrain : public ::testing::TestWithParam<DrainCase> {};

TEST_P(CliSerialDrain, PortClosesOnlyOnceTheLastRequestHasLeftTheLine)
{
    constexpr int HeldOutputMs = 300;
    // Longer than the held output and the quiet line after it: the drain
    // is not cut short by its own bound.
    const QString watchdogMs = "1000";
    CliFolder folder;
    LinkedBoard target(CliLinkKind::Serial, GetParam().boardFaults);
    const std::string report = folder.PathOf("closed.txt");
    folder.SetEnvironment("LD_PRELOAD", DEVICE_SHIM_PATH);
    // The sanitizer's runtime need not come first when the shim is preloaded.
    const QString sanitizerOptions = qEnvironmentVariable("ASAN_OPTIONS");
    folder.SetEnvironment("ASAN_OPTIONS", sanitizerOptions + (sanitizerOptions.isEmpty() ? "" : ":") +
                                              "verify_asan_link_order=0");
    folder.SetEnvironment("ORVENDA_SHIM_SERVE", QString::fromStdString(target.name));
    folder.SetEnvironment("ORVENDA_SHIM_HOLD_MS", QString::number(HeldOutputMs));
    folder.SetEnvironment("ORVENDA_SHIM_REPORT", QString::fromStdString(report));
    const std::string data = folder.WriteFile("settings.dat", 1700);

    const CliOutcome outcome =
        folder.Run(QStringList{"data", "settings.dat", "--json", "--watchdog", watchdogMs} << target.linkOptions);
    EXPECT_EQ(outcome.DoneOf(target.name).value("outcome").toString(), GetParam().outcome) << outcome.Printed();
    EXPECT_TRUE(SameBytes(target.board->Kept("data/Flash.dat"), data));
    std::ifstream closed(report);
    const std::string verdict((std::istreambuf_iterator<char>(closed)), std::istreambuf_iterator<char>());
    EXPECT_EQ(verdict, ShimClosedDrained);
}

INSTANTIATE_TEST_SUITE_P(Ends, CliSerialDrain,
                         ::testing::Values(DrainCase{"Updated", {}, "updated"},
                                           DrainCase{"Unconfirmed", {"--drop-every", "5"}, "unconfirmed"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Beyond a hundred boards running, each board's progress is taken less often,
// so that a whole run tells at most a thousand progress objects a second.
TEST(CliReporter, ProgressIsTakenLessOftenTheMoreBoardsRun)
{
    using std::chrono::milliseconds;
    constexpr std::size_t Boards = 300;
    testing::internal::CaptureStdout();
    TReporter reporter(TReporter::Mode::Json, std::vector<std::string>(Boards, "board"));
    reporter.Start(0, "app.hex", 1024);
    EXPECT_EQ(reporter.ProgressInterval(), milliseconds(100));
    for (std::size_t board = 0; board < Boards; ++board)
        reporter.Start(board, "app.hex", 1024);  // board 0's next file: still one board
    EXPECT_EQ(reporter.ProgressInterval(), milliseconds(300));
    testing::internal::GetCapturedStdout();
}

TEST_P(CliTransfers, ProgressReachesTheWholeFileAndTheUpdateIsInTheHistory)
{
    constexpr std::size_t Size = 200 * 1024;
    folder.WriteFile("app.hex", Size);
    QElapsedTimer run;
    run.start();
    const CliOutcome outcome = Run({"firmware", "app.hex"});
    const qint64 runMs = run.elapsed();
    ExpectUpdated(outcome);
    const std::vector<QJsonObject> progress = outcome.Events("progress");
    ASSERT_FALSE(progress.empty()) << outcome.Printed();
    EXPECT_EQ(progress.back().value("bytes").toInteger(), static_cast<qint64>(Size));
    EXPECT_EQ(progress.back().value("percent").toInt(), 100);
    // Not one a block: at most ten a second, and the last byte's.
    constexpr qint64 ProgressIntervalMs = 100;
    EXPECT_LE(static_cast<qint64>(progress.size()), runMs / ProgressIntervalMs + 2) << outcome.Printed();
    ASSERT_EQ(outcome.Events("start").size(), 1u);
    // The session repeats its status after every block; only a change is told.
    const std::vector<QJsonObject> statuses = outcome.Events("status");
    const auto sameText = [](const QJsonObject& a, const QJsonObject& b) { return a.value("text") == b.value("text"); };
    EXPECT_EQ(std::adjacent_find(statuses.begin(), statuses.end(), sameText), statuses.end()) << outcome.Printed();

    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_EQ(history.exitCode, 0) << history.Printed();
    EXPECT_NE(history.out.find("\"outcome\":\"updated\""), std::string::npos) << history.out;
    EXPECT_NE(history.out.find(target.name), std::string::npos) << history.out;
    const CliOutcome table = folder.Run({"history"});
    EXPECT_NE(table.out.find("app.hex"), std::string::npos) << table.Printed();
}

// --board, --outcome and --last choose the updates shown, in the table as
// in JSON; they go with history alone.
TEST(CliHistory, ChoosesTheUpdatesShown)
{
    CliFolder folder;
    std::filesystem::create_directories(folder.PathOf("state/orvenda-updater"));
    std::string lines;
    for (const auto& [board, outcome, file] : {std::tuple{"10.0.0.7", "updated", "a.hex"},
                                                std::tuple{"10.0.0.8", "failed", "b.hex"},
                                                std::tuple{"10.0.0.7", "failed", "c.hex"},
                                                std::tuple{"10.0.0.7", "updated", "d.hex"}})
        lines += std::string(R"({"time":"2026-03-14T15:09:26Z","link":"udp","board":")") + board +
                 R"(","outcome":")" + outcome + R"(","file":")" + file + "\"}\n";
    folder.WriteBytes("state/orvenda-updater/history.jsonl", lines);
    const CliOutcome table = folder.Run({"history", "--board", "10.0.0.7", "--outcome", "failed"});
    EXPECT_EQ(table.exitCode, 0) << table.Printed();
    EXPECT_NE(table.out.find("c.hex"), std::string::npos) << table.Printed();
    for (const char* other : {"a.hex", "b.hex", "d.hex"})
        EXPECT_EQ(table.out.find(other), std::string::npos) << other << " in " << table.Printed();
    const CliOutcome json = folder.Run({"history", "--last", "2", "--json"});
    EXPECT_EQ(json.Events("").size(), 2u) << json.Printed();
    EXPECT_NE(json.out.find("d.hex"), std::string::npos) << json.Printed();
    EXPECT_EQ(folder.Run({"firmware", "a.hex", "--last", "1"}).exitCode, 2);
}

TEST(CliHistory, UnreadableLinesAreCountedNotHidden)
{
    CliFolder folder;
    const std::string history = "state/orvenda-updater/history.jsonl";
    std::filesystem::create_directories(folder.PathOf("state/orvenda-updater"));
    const std::string sound = R"({"time":"2026-03-14T15:09:26Z","link":"udp","board":"127.0.0.1"})";
    folder.WriteBytes(history, "not json\n" + sound + "\n[1,2]\n\n");
    const std::string skipped = "orvenda-update: skipped 2 unreadable lines in " + folder.PathOf(history) + "\n";
    for (const QStringList& arguments : {QStringList{"history"}, QStringList{"history", "--json"}}) {
        SCOPED_TRACE(arguments.join(' ').toStdString());
        const CliOutcome outcome = folder.Run(arguments);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
        EXPECT_EQ(outcome.err, skipped) << outcome.Printed();
        EXPECT_NE(outcome.out.find("127.0.0.1"), std::string::npos) << outcome.Printed();
    }
}

// Without JSON or a terminal: a plain line when the board starts and one when
// it ends on standard error; the result and the totals on standard output.
TEST_P(CliTransfers, WithoutJsonOrTerminalPlainLinesAndTheResultArePrinted)
{
    folder.WriteFile("app.hex", 3000);
    const CliOutcome outcome = folder.Run(QStringList{"firmware", "app.hex"} << target.linkOptions);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    const std::string result = target.name + ": updated, 3000 bytes in ";
    EXPECT_EQ(outcome.out.rfind(result, 0), 0u) << outcome.Printed();
    // A sound board gets no word about strays.
    EXPECT_TRUE(outcome.out.ends_with(", 0 missing answers, 0 board-reported errors\n1 updated (exit 0)\n"))
        << outcome.Printed();
    EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 2) << outcome.Printed();
    EXPECT_EQ(outcome.err.rfind(target.name + ": started, app.hex (3000 bytes)\n" + result, 0), 0u)
        << outcome.Printed();
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 2) << outcome.Printed();
}

TEST_P(CliTransfers, BoardReportedErrorIsNamedAndExitsOne)
{
    target = LinkedBoard(GetParam().link, {"--boot-error", "7"}, 2);
    const std::string image = folder.WriteFile("app.hex", 2500);
    const CliOutcome outcome = Run({"firmware", "app.hex"});
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    const QJsonObject done = outcome.DoneOf(target.name);
    EXPECT_EQ(done.value("outcome").toString(), "failed") << outcome.Printed();
    EXPECT_EQ(done.value("reason").toString(),
              "the board reported boot error 7 after block 1 (3 board-reported errors in all)")
        << outcome.Printed();
    EXPECT_EQ(done.value("boardErrors").toInt(), 3);  // every block's boot error
    const QJsonObject first = done.value("firstBoardError").toObject();
    EXPECT_EQ(first.value("block").toInt(), 1);
    EXPECT_EQ(first.value("bootError").toInt(), 7);
    // By its request on either link, not by the network wait's label.
    EXPECT_EQ(first.value("wait").toString(), "GetBootError");
    // The stream still goes on to its end.
    EXPECT_TRUE(SameBytes(target.board->Kept("burn0.bin"), image));
}

// Each frame as "out|in GROUP OPERATION": from a trace line (time, board,
// direction, bytes), or from a transcript line of the board (rx is what it
// received).
std::vector<std::string> TracedFrames(const std::string& text, bool transcript)
{
    std::vector<std::string> frames;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> word{std::istream_iterator<std::string>(words), {}};
        if (transcript && word.size() > 2)
            frames.push_back((word[0] == "rx" ? "out " : "in ") + word[1] + " " + word[2]);
        else if (!transcript && word.size() > 8)
            frames.push_back(word[2] + " " + word[7] + " " + word[8]);
        else
            frames.push_back("unreadable: " + line);
    }
    return frames;
}

TEST_P(CliTransfers, TraceHoldsEveryFrameOfTheBoardsTranscript)
{
    folder.WriteFile("app.hex", 1500);
    folder.WriteFile("logo.bin", 700);
    ExpectUpdated(Run({"firmware", "app.hex", "--trace", "firmware.trace"}));
    ExpectUpdated(Run({"flash", "logo.bin", "--trace", "flash.trace"}));
    // The last request gets no answer: it may still be on its way.
    ASSERT_TRUE(AwaitFrame(*target.board, "CloseFlashFile"));
    std::ifstream firmware(folder.PathOf("firmware.trace"));
    std::ifstream flash(folder.PathOf("flash.trace"));
    const std::string traced = std::string(std::istreambuf_iterator<char>(firmware), {}) +
                               std::string(std::istreambuf_iterator<char>(flash), {});
    const std::vector<std::string> frames = TracedFrames(traced, false);
    EXPECT_EQ(frames, TracedFrames(target.board->Transcript(), true)) << traced;
    EXPECT_EQ(traced.find(" stray"), std::string::npos) << traced;
    EXPECT_NE(traced.find(" " + target.name + " in A5 "), std::string::npos) << traced;
}

// Answers missing now and then, never three in a row, are no reason to stop;
// the summary tells the missing answers and the board's own failures apart.
TEST(CliSparseMisses, AreNoReasonToStopAndTheSummaryCountsThemApartFromBoardErrors)
{
    CliFolder folder;
    const std::string image = folder.WriteFile("app.hex", 4 * 1024);
    LinkedBoard target(CliLinkKind::Udp, {"--drop-every", "2", "--boot-error", "7"}, 8);
    // Each missing answer must be a dropped one: an answer that comes is
    // never late, also on a loaded machine.
    const CliOutcome outcome =
        folder.Run(QStringList{"firmware", "app.hex", "--watchdog", "800"} << target.linkOptions);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    EXPECT_EQ(outcome.out.rfind(target.name + ": failed, 4096 bytes in ", 0), 0u) << outcome.Printed();
    EXPECT_NE(outcome.out.find(", 2 missing answers, 3 board-reported errors"), std::string::npos)
        << outcome.Printed();
    // Without JSON or a terminal the result alone tells them.
    EXPECT_EQ(outcome.err.find(": warning: "), std::string::npos) << outcome.Printed();
    EXPECT_TRUE(SameBytes(target.board->Kept("burn0.bin"), image));
}

// A flash file the board refused to create is not written, and the refusal,
// the only failure the board reported, fails the update naming the file and
// its result, before any block.
TEST(CliRefusedCreation, FailsNamingTheRefusedFile)
{
    CliFolder folder;
    folder.WriteFile("logo.bin", 100);
    LinkedBoard target(CliLinkKind::Udp, {"--refuse-create", "5"}, 9);
    const CliOutcome outcome = folder.Run(QStringList{"flash", "logo.bin", "--json"} << target.linkOptions);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    const QJsonObject done = outcome.DoneOf(target.name);
    EXPECT_EQ(done.value("outcome").toString(), "failed") << outcome.Printed();
    EXPECT_EQ(done.value("reason").toString(), "the board refused logo.bin (CreateFlashFile, result 5); it was not written");
    EXPECT_EQ(done.value("boardErrors").toInt(), 1);
    const QJsonObject first = done.value("firstBoardError").toObject();
    EXPECT_EQ(first.value("block").toInt(-1), 0) << outcome.Printed();
    EXPECT_EQ(first.value("result").toInt(), 5);
    EXPECT_FALSE(target.board->Kept("flash/logo.bin"));
}

INSTANTIATE_TEST_SUITE_P(Links, CliTransfers,
                         ::testing::Values(TransferCase{"Serial", CliLinkKind::Serial},
                                           TransferCase{"Udp", CliLinkKind::Udp}),
                         [](const auto& info) { return std::string(info.param.name); });

::testing::AssertionResult SilenceStopIsInTheHistory(const CliFolder& folder, const std::string& board)
{
    const CliOutcome history = folder.Run({"history", "--json"});
    for (const QJsonObject& record : history.Events("")) {
        // Records carry no event: every line of the history is one.
        if (record.value("board").toString().toStdString() == board)
            return record.value("outcome").toString() == "stopped"
                       ? ::testing::AssertionSuccess()
                       : ::testing::AssertionFailure() << "recorded as " << record.value("outcome").toString().toStdString();
    }
    return ::testing::AssertionFailure() << "no record of " << board << " in " << history.out;
}

// Four boards at once, one of them silent: the other three complete, the
// silent one is stopped after three missing answers in a row and named, and
// with --retries 0 not tried again.
TEST(CliManyBoards, ASilentBoardStopsAloneAndTheOthersComplete)
{
    CliFolder folder;
    const std::string image = folder.WriteFile("app.hex", 6000);
    std::vector<std::unique_ptr<LinkedBoard>> boards;
    for (int k = 1; k <= 4; ++k)
        boards.push_back(std::make_unique<LinkedBoard>(CliLinkKind::Udp,
                                                       k == 3 ? std::vector<std::string>{"--no-answer"}
                                                              : std::vector<std::string>{},
                                                       k));
    QStringList hosts;
    for (const auto& board : boards)
        hosts << QString::fromStdString(board->name);
    // Every --udp adds its boards, one or a list.
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--udp", hosts.mid(0, 2).join(","), "--udp", hosts[2],
                                           "--udp", hosts[3], "--json", "--watchdog", "700", "--retries", "0"});

    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    for (std::size_t k = 0; k < boards.size(); ++k) {
        const QJsonObject done = outcome.DoneOf(boards[k]->name);
        if (k == 2) {
            EXPECT_EQ(done.value("outcome").toString(), "stopped") << outcome.Printed();
            EXPECT_EQ(done.value("missingAnswers").toInt(), 3);
            EXPECT_NE(done.value("reason").toString().indexOf("check the address, the board's power and that "
                                                              "nothing else updates it"),
                      -1)
                << outcome.Printed();
            EXPECT_EQ(outcome.Events("warning").size(), 3u) << outcome.Printed();
            EXPECT_TRUE(PrefixOf(boards[k]->board->Kept("burn0.bin"), image));
            EXPECT_TRUE(SilenceStopIsInTheHistory(folder, boards[k]->name));
        } else {
            EXPECT_EQ(done.value("outcome").toString(), "updated") << outcome.Printed();
            EXPECT_TRUE(SameBytes(boards[k]->board->Kept("burn0.bin"), image)) << boards[k]->name;
        }
    }
}

TEST(CliManyBoards, KeepGoingSendsEveryBlockToASilentBoard)
{
    CliFolder folder;
    const std::string image = folder.WriteFile("app.hex", 4 * 1024 + 10);
    LinkedBoard silent(CliLinkKind::Udp, {"--no-answer"}, 5);
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--udp", QString::fromStdString(silent.name),
                                           "--json", "--watchdog", "100", "--keep-going", "--jobs", "1"});
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    const QJsonObject done = outcome.DoneOf(silent.name);
    EXPECT_EQ(done.value("outcome").toString(), "unconfirmed");
    EXPECT_EQ(done.value("missingAnswers").toInt(), 5);  // one per block's query
    EXPECT_TRUE(SameBytes(silent.board->Kept("burn0.bin"), image));
}

// A board silent for its first three answers stops the first try; the one
// retry allowed starts again from the start and updates it. Each try is told and recorded.
TEST(CliRetries, ARetryAfterASilentFirstTryEndsUpdated)
{
    CliFolder folder;
    const std::string image = folder.WriteFile("app.hex", 2500);
    const std::vector<std::string> silentAtFirst = {"--silent-first", "3"};
    LinkedBoard plain(CliLinkKind::Udp, silentAtFirst, 8);
    // Time for the answers of the second try, also on a loaded machine.
    const CliOutcome summary = folder.Run(QStringList{"firmware", "app.hex", "--watchdog", "500", "--retries", "1"}
                                          << plain.linkOptions);
    EXPECT_EQ(summary.exitCode, 0) << summary.Printed();
    EXPECT_EQ(summary.out.rfind(plain.name + ": updated on try 2, 2500 bytes in ", 0), 0u) << summary.Printed();
    EXPECT_TRUE(SameBytes(plain.board->Kept("burn0.bin"), image));
    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_EQ(std::count(history.out.begin(), history.out.end(), '\n'), 2) << history.Printed();
    EXPECT_NE(history.out.find("\"outcome\":\"stopped\""), std::string::npos) << history.Printed();
    EXPECT_NE(history.out.find("\"reason\":\"the board does not answer"), std::string::npos) << history.Printed();

    LinkedBoard json(CliLinkKind::Udp, silentAtFirst, 9);
    const CliOutcome events = folder.Run(QStringList{"firmware", "app.hex", "--watchdog", "500", "--retries", "1",
                                                     "--json"}
                                         << json.linkOptions);
    EXPECT_EQ(events.exitCode, 0) << events.Printed();
    const std::vector<QJsonObject> tries = events.Events("done");
    ASSERT_EQ(tries.size(), 2u) << events.Printed();
    EXPECT_EQ(tries[0].value("outcome").toString(), "stopped");
    EXPECT_EQ(tries[0].value("try").toInt(), 1);
    EXPECT_EQ(tries[1].value("outcome").toString(), "updated");
    EXPECT_EQ(tries[1].value("try").toInt(), 2);
    EXPECT_EQ(events.Events("start").size(), 2u) << events.Printed();
}

// Without a link option the link saved in ZEVEVI.CFG is used.
TEST(CliSavedLink, SerialRecordOpensCom1WithItsLine)
{
    CliFolder folder;
    LinkedBoard target(CliLinkKind::Serial);
    std::filesystem::create_symlink(target.name, folder.PathOf("COM1"));
    folder.WriteBytes("ZEVEVI.CFG", std::string("\0\0\6\3\0\0", 6));
    const std::string image = folder.WriteFile("app.hex", 3000);
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--json"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    // The board is named by the device COM1 opens, not by the name as given.
    EXPECT_EQ(outcome.DoneOf(target.name).value("outcome").toString(), "updated") << outcome.Printed();
    EXPECT_TRUE(SameBytes(target.board->Kept("burn0.bin"), image));
    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_NE(history.out.find("\"board\":\"" + target.name + "\""), std::string::npos) << history.Printed();
}

TEST(CliSavedLink, NetworkRecordChoosesItsBoard)
{
    CliFolder folder;
    LinkedBoard target(CliLinkKind::Udp, {}, 7);
    const auto octets = QString::fromStdString(target.name).split('.');
    std::string record(1, '\1');
    for (const QString& octet : octets)
        record += static_cast<char>(octet.toInt());
    folder.WriteBytes("ZEVEVI.CFG", record);
    const std::string image = folder.WriteFile("app.hex", 3000);
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--json"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_EQ(outcome.DoneOf(target.name).value("outcome").toString(), "updated") << outcome.Printed();
    EXPECT_TRUE(SameBytes(target.board->Kept("burn0.bin"), image));
}

} // namespace
