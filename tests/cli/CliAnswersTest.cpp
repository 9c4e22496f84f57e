// Answers the board really gave: a board that answers more than once (a copy
// of its previous answer first, every answer twice back to back, a forged
// answer from another port of its address) is never "updated", a failure it
// reports in any frame fails the run whatever the timing, and `status` never
// tells a boot error the board did not give. The simulated board runs as a
// process of its own, so that its copies race the updater's waits for real.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"

namespace {

constexpr int ImageSize = 10000;  // ten blocks, the last one short
constexpr int NoBlock = 0;  // no answer carries the error
constexpr int MiddleBlock = 5;
constexpr int LastBlock = 10;
const std::string BootError = "9";

enum class Wire { Udp, Serial };

struct Misbehaviour {
    const char* name;
    Wire wire;
    std::vector<std::string> fault;
};

const std::vector<Misbehaviour> Misbehaviours = {
    {"CopyFirstUdp", Wire::Udp, {"--copy-first", "5"}},
    {"CopyFirstSerial", Wire::Serial, {"--copy-first", "5"}},
    {"TwiceUdp", Wire::Udp, {"--second-answer", "0"}},
    {"TwiceSerial", Wire::Serial, {"--second-answer", "0"}},
    {"ForgedUdp", Wire::Udp, {"--forge-port"}},
};

class Answers : public ::testing::TestWithParam<Misbehaviour> {
protected:
    // Starts a board with the fault and `more`, and returns the link options
    // that reach it.
    QStringList Board(std::vector<std::string> more, int n)
    {
        const Misbehaviour& each = GetParam();
        std::vector<std::string> arguments = each.fault;
        arguments.insert(arguments.end(), more.begin(), more.end());
        const std::string address = LoopbackAddress(n);
        if (each.wire == Wire::Udp)
            arguments.insert(arguments.begin(), {"--udp", address});
        else
            arguments.insert(arguments.begin(), "--pty");
        board_ = std::make_unique<BoardSim>(arguments);
        if (each.wire == Wire::Udp)
            return {"--udp", QString::fromStdString(address)};
        return {"--serial", QString::fromStdString(board_->PtyPath())};
    }

    CliFolder folder;
    std::unique_ptr<BoardSim> board_;
};

// Never updated: unconfirmed without a board error; with one in a middle
// block's answer or in the last one, failed, the error named.
TEST_P(Answers, ABoardErrorInAnyFrameFailsTheUpdate)
{
    folder.WriteFile("app.hex", ImageSize);
    for (const int block : {NoBlock, MiddleBlock, LastBlock}) {
        SCOPED_TRACE(block);
        std::vector<std::string> errors;
        if (block != NoBlock)
            errors = {"--boot-error", BootError, "--boot-error-at", std::to_string(block)};
        const QStringList link = Board(errors, 40);
        const CliOutcome outcome = folder.Run(QStringList{"firmware", "app.hex", "--watchdog", "1000", "--json"} + link);
        EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
        const std::vector<QJsonObject> done = outcome.Events("done");
        ASSERT_EQ(done.size(), 1u) << outcome.Printed();
        EXPECT_EQ(done[0].value("outcome").toString(), block == NoBlock ? "unconfirmed" : "failed") << outcome.Printed();
        EXPECT_EQ(done[0]["firstBoardError"]["bootError"].toInt(), block == NoBlock ? 0 : std::stoi(BootError))
            << outcome.Printed();
        EXPECT_GT(done[0].value("strayAnswers").toInt(), 0) << outcome.Printed();
        board_.reset();
    }
}

// A board at boot error 5 is told at 5 (or not at all), never at the 0 of a
// copy or a forgery.
TEST_P(Answers, StatusNeverTellsABootErrorTheBoardDidNotGive)
{
    const QStringList link = Board({"--boot-error", "5"}, 41);
    const CliOutcome outcome = folder.Run(QStringList{"status", "--watchdog", "1000"} + link);
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    EXPECT_EQ(outcome.out.find("boot error 0"), std::string::npos) << outcome.Printed();
    EXPECT_NE(outcome.out.find("boot error 5"), std::string::npos) << outcome.Printed();
}

INSTANTIATE_TEST_SUITE_P(Boards, Answers, ::testing::ValuesIn(Misbehaviours),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
