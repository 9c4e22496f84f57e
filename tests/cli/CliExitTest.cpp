// Every way a run ends leaves a record or a clear refusal: a closed standard
// output stops the printing, not the update; a trace that cannot be written
// stops the run before anything is sent; a history file that is no regular
// file is refused; a busy history lock gives way to a signal.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/cli/CliRunner.h"
#include "tests/e2e/UpdaterSession.h"
#include "tests/support/BoardSim.h"
#include "transfer/record/History.h"

namespace {

constexpr int PatienceMs = 10000;

std::string HistoryPath(const CliFolder& folder)
{
    return folder.PathOf("state/orvenda-updater/history.jsonl");
}

// Waits (bounded) until the process waits for a file lock: the kernel lists
// each waiter in /proc/locks behind "->".
::testing::AssertionResult AwaitBlockedOnLock(pid_t process)
{
    QDeadlineTimer patience(PatienceMs);
    while (!patience.hasExpired()) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            std::istringstream words(line);
            std::vector<std::string> word{std::istream_iterator<std::string>(words), {}};
            if (word.size() > 5 && word[1] == "->" && word[5] == std::to_string(process))
                return ::testing::AssertionSuccess();
        }
        QThread::msleep(10);
    }
    return ::testing::AssertionFailure() << "the updater never waited for the history's lock";
}

TEST(CliClosedOutput, StopsThePrintingButNotTheUpdateWhichIsRecorded)
{
    CliFolder folder;
    const std::string address = LoopbackAddress(40);
    BoardSim board({"--udp", address, "--delay", "5"});
    const std::string image = folder.WriteFile("app.hex", 40 * 1024);
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", QString::fromStdString(folder.PathOf("state")));
    shell.setProcessEnvironment(environment);
    shell.setWorkingDirectory(QString::fromStdString(folder.PathOf("")));
    // The updater's status is what the pipeline's first command ended with.
    shell.start("/bin/bash", {"-c", QStringLiteral("\"$0\" firmware app.hex --udp %1 --json | head -2 >/dev/null; "
                                                   "exit ${PIPESTATUS[0]}")
                                      .arg(QString::fromStdString(address)),
                              QStringLiteral(ORVENDA_UPDATE_PATH)});
    ASSERT_TRUE(shell.waitForFinished(PatienceMs));
    EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
    EXPECT_TRUE(SameBytes(board.Kept("burn0.bin"), image));
    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_NE(history.out.find("\"outcome\":\"updated\""), std::string::npos) << history.Printed();
}

TEST(CliTrace, ThatCannotBeWrittenIsALinkFailureBeforeAnythingIsSent)
{
    CliFolder folder;
    const std::string address = LoopbackAddress(41);
    BoardSim board({"--udp", address});
    folder.WriteFile("app.hex", 3000);
    const CliOutcome outcome = folder.Run(
        {"firmware", "app.hex", "--udp", QString::fromStdString(address), "--trace", "/dev/full", "--json"});
    EXPECT_EQ(outcome.exitCode, 3) << outcome.Printed();
    const QJsonObject done = outcome.DoneOf(address);
    EXPECT_EQ(done.value("outcome").toString(), "link failed") << outcome.Printed();
    EXPECT_NE(done.value("reason").toString().indexOf("the trace /dev/full cannot be written"), -1)
        << outcome.Printed();
    EXPECT_TRUE(ReceivedFrames(board).empty());
    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_NE(history.out.find("\"outcome\":\"link failed\""), std::string::npos) << history.Printed();
}

TEST(CliHistory, OnAPipeIsRefusedAtOnce)
{
    CliFolder folder;
    const std::string path = HistoryPath(folder);
    ASSERT_EQ(::mkdir(folder.PathOf("state").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(folder.PathOf("state/orvenda-updater").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const CliOutcome outcome = folder.Run({"history"});
    EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
    EXPECT_NE(outcome.err.find("it is not a regular file"), std::string::npos) << outcome.Printed();
    // An update's record is refused the same way, and said.
    folder.WriteFile("app.hex", 100);
    const CliOutcome update = folder.Run({"firmware", "app.hex", "--usb"});
    EXPECT_EQ(update.exitCode, 1) << update.Printed();
    EXPECT_NE(update.err.find("it is not a regular file"), std::string::npos) << update.Printed();
}

TEST(CliHistory, ABusyLockGivesWayToSigterm)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 100);
    // Made by a first record; then another program holds its lock.
    ASSERT_EQ(folder.Run({"firmware", "app.hex", "--usb"}).exitCode, 1);
    const int held = ::open(HistoryPath(folder).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(held, -1);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    QProcess update;
    folder.Start(update, {"firmware", "app.hex", "--usb"});
    ASSERT_TRUE(AwaitBlockedOnLock(static_cast<pid_t>(update.processId())));
    ::kill(static_cast<pid_t>(update.processId()), SIGTERM);
    const CliOutcome outcome = folder.Finish(update);
    ::close(held);
    EXPECT_EQ(outcome.exitCode, 128 + SIGTERM) << outcome.Printed();
}

// A reader that takes nothing while a fleet is updated holds up no board:
// every board gets its last block while nothing has been read of far more
// than a pipe holds, and the program ends once the reader has taken it all.
TEST(CliStalledOutput, AReaderThatTakesNothingHoldsUpNoBoard)
{
    constexpr int Boards = 48;
    CliFolder folder;
    folder.WriteFile("app.hex", 256 * 1024);  // the last block is empty
    std::string addresses;
    for (int n = 1; n <= Boards; ++n)
        addresses += (addresses.empty() ? "" : ",") + LoopbackAddress(100 + n);
    BoardSim boards({"--udp", addresses, "--delay", "5"});
    QProcess update;
    // Nothing reads the JSON events until every board's update is recorded:
    // this thread runs no event loop meanwhile.
    folder.Start(update, {"firmware", "app.hex", "--udp", QString::fromStdString(addresses), "--json"});
    const QString history = QString::fromStdString(HistoryPath(folder));
    QDeadlineTimer patience(PatienceMs);
    while (ReadHistory(history).lines.size() < Boards && !patience.hasExpired())
        QThread::msleep(10);
    EXPECT_EQ(ReadHistory(history).lines.size(), Boards) << "recorded before anything was read";
    const CliOutcome outcome = folder.Finish(update);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_GT(outcome.out.size(), std::size_t{64 * 1024});
    EXPECT_EQ(outcome.Events("done").size(), static_cast<std::size_t>(Boards));
}

// --jobs 3 over ten boards: never more than three boards between their
// start and their end, as the events tell them in order, and every board
// updated.
TEST(CliJobs, FewerJobsThanBoardsRunThatManyAtOnceAndEveryBoard)
{
    constexpr int Boards = 10;
    constexpr int Jobs = 3;
    CliFolder folder;
    folder.WriteFile("app.hex", 3000);
    std::string addresses;
    for (int n = 1; n <= Boards; ++n)
        addresses += (addresses.empty() ? "" : ",") + LoopbackAddress(150 + n);
    BoardSim boards({"--udp", addresses, "--delay", "2"});
    const CliOutcome outcome = folder.Run({"firmware", "app.hex", "--udp", QString::fromStdString(addresses), "--json",
                                           "--jobs", QString::number(Jobs)});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    int running = 0;
    int most = 0;
    int done = 0;
    std::istringstream lines(outcome.out);
    for (std::string line; std::getline(lines, line);) {
        const QString event = QJsonDocument::fromJson(QByteArray::fromStdString(line))["event"].toString();
        running += event == "start" ? 1 : event == "done" ? -1 : 0;
        done += event == "done" ? 1 : 0;
        most = std::max(most, running);
    }
    EXPECT_EQ(most, Jobs);
    EXPECT_EQ(done, Boards);
}

// While another program holds the history's lock, a board that has ended
// waits for it without holding up the others: the slow board gets its last
// block while the lock is still held, and both are recorded once it is free.
TEST(CliHistory, ABusyLockHoldsUpNoOtherBoard)
{
    CliFolder folder;
    folder.WriteFile("app.hex", 20000);  // the last block carries 544 bytes
    ASSERT_EQ(folder.Run({"firmware", "app.hex", "--usb"}).exitCode, 1);
    const int held = ::open(HistoryPath(folder).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(held, -1);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const std::string fast = LoopbackAddress(42);
    const std::string slow = LoopbackAddress(43);
    BoardSim fastBoard({"--udp", fast});
    BoardSim slowBoard({"--udp", slow, "--delay", "20"});
    QProcess update;
    folder.Start(update, {"firmware", "app.hex", "--udp", QString::fromStdString(fast + "," + slow)});
    EXPECT_TRUE(AwaitFrame(slowBoard, "ImageBlock count=544"));
    ::close(held);
    const CliOutcome outcome = folder.Finish(update);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_EQ(ReadHistory(QString::fromStdString(HistoryPath(folder))).lines.size(), 3);
}

} // namespace
