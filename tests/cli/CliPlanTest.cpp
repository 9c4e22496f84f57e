// A plan before flashing: --dry-run tells what an update would do and sends
// nothing but the search; a search-selected update is confirmed first.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonArray>

#include "tests/cli/CliRunner.h"
#include "tests/support/BoardSim.h"

namespace {

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

TEST(CliDryRun, PrintsEachBoardAndFileAndSendsNothingButTheSearch)
{
    CliFolder folder;
    const std::string image = folder.WriteFile("app.hex", 3000);
    const std::string sha256 =
        QCryptographicHash::hash(QByteArray::fromStdString(image), QCryptographicHash::Sha256).toHex().toStdString();
    const std::string address = LoopbackAddress(30);
    BoardSim network({"--udp", address});
    BoardSim serial({"--pty"});
    for (const QStringList& link : {QStringList{"--udp-search", "--range", Q(address)},
                                    QStringList{"--serial", Q(serial.PtyPath())}}) {
        SCOPED_TRACE(link.join(' ').toStdString());
        const CliOutcome outcome = folder.Run(QStringList{"firmware", "app.hex", "--dry-run"} << link);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
        const std::string key = link.front() == "--serial" ? "serial " + serial.PtyPath() : "udp " + address;
        EXPECT_NE(outcome.out.find("1 board, nothing sent:\n"), std::string::npos) << outcome.Printed();
        EXPECT_NE(outcome.out.find("(given as " + link.back().toStdString() + "), " + key + "\n"), std::string::npos)
            << outcome.Printed();
        EXPECT_NE(outcome.out.find("  file app.hex, 3000 bytes, sha256 " + sha256 + "\n"), std::string::npos)
            << outcome.Printed();
    }
    const CliOutcome json = folder.Run({"firmware", "app.hex", "--dry-run", "--json", "--serial", Q(serial.PtyPath())});
    ASSERT_EQ(json.Events("plan").size(), 1u) << json.Printed();
    const QJsonObject plan = json.Events("plan").front();
    EXPECT_EQ(plan["files"].toArray().at(0)["sha256"].toString().toStdString(), sha256);
    EXPECT_EQ(plan["boards"].toArray().at(0)["given"].toString().toStdString(), serial.PtyPath());
    // The search is no frame of the protocol: the boards count none.
    EXPECT_EQ(serial.Count("frames"), 0u);
    EXPECT_EQ(network.Count("frames"), 0u);
    EXPECT_EQ(network.Count("searches"), 1u);
}

TEST(CliDryRun, AFileThatCannotBeReadIsNoSoundPlan)
{
    CliFolder folder;
    BoardSim serial({"--pty"});
    const CliOutcome outcome =
        folder.Run({"firmware", "missing.hex", "--dry-run", "--serial", Q(serial.PtyPath())});
    EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
    EXPECT_TRUE(ReceivedFrames(serial).empty());
}

// Without a terminal no one can answer: the boards found are listed and the
// update refused, unless --yes.
TEST(CliConfirm, WithoutATerminalASearchedUpdateNeedsYes)
{
    CliFolder folder;
    const std::string image = folder.WriteFile("app.hex", 3000);
    const std::string address = LoopbackAddress(31);
    BoardSim board({"--udp", address});
    const QStringList update = {"firmware", "app.hex", "--udp-search", "--range", Q(address)};
    const CliOutcome refused = folder.Run(update);
    EXPECT_EQ(refused.exitCode, 2) << refused.Printed();
    EXPECT_NE(refused.err.find("The search found 1 board:\n  " + address + "\n"), std::string::npos)
        << refused.Printed();
    EXPECT_NE(refused.err.find("give --yes"), std::string::npos) << refused.Printed();
    EXPECT_FALSE(board.Kept("burn0.bin"));

    const CliOutcome confirmed = folder.Run(QStringList(update) << "--yes");
    EXPECT_EQ(confirmed.exitCode, 0) << confirmed.Printed();
    EXPECT_EQ(board.Kept("burn0.bin"), image);
}

} // namespace
