// Ctrl-C, SIGTERM or SIGHUP during a transfer: every session ends at its next
// wait, the port is closed, the summary says what was done, the history
// records the update as stopped, and the exit status is 128 + the signal.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "serial/CPort.h"
#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"

namespace {

constexpr int PatienceMs = 10000;

// Starts an update that takes long (every answer late), waits until its
// first block has gone, sends `signal` and returns what it printed.
CliOutcome InterruptedUpdate(const CliFolder& folder, const QStringList& link, int signal = SIGINT)
{
    folder.WriteFile("app.hex", 64 * 1024);
    QProcess update;
    folder.Start(update, QStringList{"firmware", "app.hex", "--json"} << link);
    std::string printed;
    while (printed.find("\"progress\"") == std::string::npos) {
        if (!update.waitForReadyRead(PatienceMs)) {
            ADD_FAILURE() << "the update sent no block: " << printed;
            break;
        }
        printed += update.readAllStandardOutput().toStdString();
    }
    ::kill(static_cast<pid_t>(update.processId()), signal);
    CliOutcome outcome = folder.Finish(update);
    outcome.out = printed + outcome.out;
    return outcome;
}

class CliSignals : public ::testing::TestWithParam<int> {};

TEST_P(CliSignals, SerialUpdateEndsWithTheSignalsStatusRecordedAndLeavesThePortFree)
{
    CliFolder folder;
    BoardSim board({"--pty", "--delay", "200"});
    const CliOutcome outcome =
        InterruptedUpdate(folder, {"--serial", QString::fromStdString(board.PtyPath())}, GetParam());
    EXPECT_EQ(outcome.exitCode, 128 + GetParam()) << outcome.Printed();
    const QJsonObject done = outcome.DoneOf(board.PtyPath());
    EXPECT_EQ(done.value("outcome").toString(), "stopped") << outcome.Printed();
    EXPECT_GT(done.value("bytes").toInteger(), 0);
    EXPECT_LT(done.value("bytes").toInteger(), 64 * 1024);
    const CliOutcome history = folder.Run({"history", "--json"});
    EXPECT_NE(history.out.find("\"outcome\":\"stopped\""), std::string::npos) << history.Printed();

    // The port was closed: its exclusive mode is off again, so that a user
    // whom the mode stops (root is not) can open it, and so can we.
    const int device = ::open(board.PtyPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(device, 0);
    int exclusive = -1;
    ASSERT_EQ(::ioctl(device, TIOCGEXCL, &exclusive), 0);
    ::close(device);
    EXPECT_EQ(exclusive, 0);
    TComPort port;
    port.SetPort(board.PtyPath());
    EXPECT_NO_THROW(port.Open());
}

INSTANTIATE_TEST_SUITE_P(Signals, CliSignals, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST(CliInterrupt, UdpUpdateEndsWith130AndSaysWhatWasDone)
{
    CliFolder folder;
    const std::string address = LoopbackAddress(20);
    BoardSim board({"--udp", address, "--delay", "200"});
    const CliOutcome outcome = InterruptedUpdate(folder, {"--udp", QString::fromStdString(address)});
    EXPECT_EQ(outcome.exitCode, 130) << outcome.Printed();
    EXPECT_EQ(outcome.DoneOf(address).value("outcome").toString(), "stopped") << outcome.Printed();
}

TEST(CliInterrupt, SummaryIsPrintedWithoutJson)
{
    CliFolder folder;
    BoardSim board({"--pty", "--delay", "200"});
    folder.WriteFile("app.hex", 64 * 1024);
    QProcess update;
    folder.Start(update, {"firmware", "app.hex", "--serial", QString::fromStdString(board.PtyPath())});
    // Standard output is no terminal: only the summary comes, so wait for the
    // board to take the first block instead.
    QDeadlineTimer patience(PatienceMs);
    while (ReceivedFrames(board).size() < 2 && !patience.hasExpired())
        QThread::msleep(10);
    ASSERT_GE(ReceivedFrames(board).size(), 2u) << "the board received no block";
    ::kill(static_cast<pid_t>(update.processId()), SIGINT);
    const CliOutcome outcome = folder.Finish(update);
    EXPECT_EQ(outcome.exitCode, 130) << outcome.Printed();
    EXPECT_NE(outcome.out.find(board.PtyPath() + ": stopped, "), std::string::npos) << outcome.Printed();
}

} // namespace
