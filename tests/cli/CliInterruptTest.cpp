// Ctrl-C during a transfer: every session ends at its next wait, the port is
// closed, the summary says what was done, and the exit status is 130.
#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <csignal>

#include "serial/CPort.h"
#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"

namespace {

constexpr int PatienceMs = 10000;

// Starts an update that takes long (every answer late), waits until its
// first block has gone, presses Ctrl-C and returns what it printed.
CliOutcome InterruptedUpdate(const CliFolder& folder, const QStringList& link)
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
    ::kill(static_cast<pid_t>(update.processId()), SIGINT);
    CliOutcome outcome = folder.Finish(update);
    outcome.out = printed + outcome.out;
    return outcome;
}

TEST(CliInterrupt, SerialUpdateEndsWith130AndLeavesThePortFree)
{
    CliFolder folder;
    BoardSim board({"--pty", "--delay", "200"});
    const CliOutcome outcome =
        InterruptedUpdate(folder, {"--serial", QString::fromStdString(board.PtyPath())});
    EXPECT_EQ(outcome.exitCode, 130) << outcome.Printed();
    const QJsonObject done = outcome.DoneOf(board.PtyPath());
    EXPECT_EQ(done.value("outcome").toString(), "interrupted") << outcome.Printed();
    EXPECT_GT(done.value("bytes").toInteger(), 0);
    EXPECT_LT(done.value("bytes").toInteger(), 64 * 1024);

    // The port was closed: it can be opened exclusively again.
    TComPort port;
    port.SetPort(board.PtyPath());
    EXPECT_NO_THROW(port.Open());
}

TEST(CliInterrupt, UdpUpdateEndsWith130AndSaysWhatWasDone)
{
    CliFolder folder;
    const std::string address = LoopbackAddress(20);
    BoardSim board({"--udp", address, "--delay", "200"});
    const CliOutcome outcome = InterruptedUpdate(folder, {"--udp", QString::fromStdString(address)});
    EXPECT_EQ(outcome.exitCode, 130) << outcome.Printed();
    EXPECT_EQ(outcome.DoneOf(address).value("outcome").toString(), "interrupted") << outcome.Printed();
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
    EXPECT_NE(outcome.out.find(board.PtyPath() + ": interrupted, "), std::string::npos) << outcome.Printed();
}

} // namespace
