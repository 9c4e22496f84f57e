// `status`: each board asked for its boot error, nothing burnt.
#include <gtest/gtest.h>

#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"

namespace {

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

// A good board, one with boot error 3 and a silent one: each told, exit 1;
// the good one alone: exit 0. Each board got the query alone.
TEST(CliStatus, TellsEachBoardsAnswerAndBootError)
{
    CliFolder folder;
    const std::string good = LoopbackAddress(33);
    const std::string failing = LoopbackAddress(34);
    const std::string silent = LoopbackAddress(35);
    BoardSim goodBoard({"--udp", good});
    BoardSim failingBoard({"--udp", failing, "--boot-error", "3"});
    const QString all = Q(good + "," + failing + "," + silent);

    const CliOutcome outcome = folder.Run({"status", "--udp", all, "--watchdog", "300"});
    EXPECT_EQ(outcome.exitCode, 1) << outcome.Printed();
    EXPECT_NE(outcome.out.find(good + ": answered, boot error 0, round trip "), std::string::npos) << outcome.Printed();
    EXPECT_NE(outcome.out.find(failing + ": answered, boot error 3, round trip "), std::string::npos)
        << outcome.Printed();
    EXPECT_NE(outcome.out.find(silent + ": no answer\n"), std::string::npos) << outcome.Printed();

    const CliOutcome json = folder.Run({"status", "--udp", all, "--watchdog", "300", "--json"});
    EXPECT_EQ(json.exitCode, 1) << json.Printed();
    const std::vector<QJsonObject> told = json.Events("status");
    ASSERT_EQ(told.size(), 3u) << json.Printed();
    EXPECT_EQ(told[0].value("bootError").toInt(-1), 0);
    EXPECT_EQ(told[1].value("bootError").toInt(-1), 3);
    EXPECT_FALSE(told[2].value("answered").toBool(true));

    // Every board answers, one with a boot error: still 1.
    const CliOutcome answering = folder.Run({"status", "--udp", Q(good + "," + failing)});
    EXPECT_EQ(answering.exitCode, 1) << answering.Printed();
    const CliOutcome alone = folder.Run({"status", "--udp", Q(good)});
    EXPECT_EQ(alone.exitCode, 0) << alone.Printed();
    for (const BoardSim* board : {&goodBoard, &failingBoard}) {
        for (const std::string& frame : ReceivedFrames(*board))
            EXPECT_NE(frame.find("GetBootError"), std::string::npos) << frame;
    }
    EXPECT_EQ(goodBoard.Count("command.GetBootError"), 4u);
    EXPECT_EQ(goodBoard.Count("frames"), 4u);

    // A board that could not be asked is no silent board: its link failed.
    const CliOutcome unopened = folder.Run({"status", "--serial", "/nonexistent/ttyX"});
    EXPECT_EQ(unopened.exitCode, 3) << unopened.Printed();
    EXPECT_EQ(unopened.out.rfind("/nonexistent/ttyX: link failed: ", 0), 0u) << unopened.Printed();
}

TEST(CliStatus, RefusesWhatOnlyAnUpdateTakes)
{
    CliFolder folder;
    const CliOutcome outcome = folder.Run({"status", "--udp", Q(LoopbackAddress(36)), "--retries", "1"});
    EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
    EXPECT_NE(outcome.err.find("--retries does not go with status"), std::string::npos) << outcome.Printed();
}

} // namespace
