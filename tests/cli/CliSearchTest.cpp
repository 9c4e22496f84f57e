// The board search and --udp-search, inside network namespaces of the test's
// own (the search broadcasts): the updater's namespace reaches the boards'
// through a veth pair.
#include <gtest/gtest.h>

#include <QProcess>

#include <algorithm>
#include <memory>
#include <sstream>
#include <tuple>

#include "tests/cli/CliRunner.h"
#include "tests/e2e/UpdaterSession.h"
#include "tests/support/BoardSim.h"
#include "tests/support/NetNamespace.h"

namespace {

const std::string UpdaterAddress = "192.0.2.1/24";
const std::string LanAddress = "192.0.2.10/24";
// Every address of this range is local on the boards' side.
const std::string BoardRange = "192.0.2.128/25";

std::string BoardAddress(int board)
{
    return "192.0.2." + std::to_string(129 + board);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

class CliSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string reason = NetNamespace::Unavailable(); !reason.empty())
            GTEST_SKIP() << reason;
        std::tie(updater, lan) = HostAndLan(UpdaterAddress, LanAddress, BoardRange);
    }

    std::unique_ptr<BoardSim> StartBoard(int board, std::vector<std::string> options = {})
    {
        options.insert(options.begin(), {"--udp", BoardAddress(board)});
        return std::make_unique<BoardSim>(options, std::vector<std::string>{"ip", "netns", "exec", lan->Name()});
    }

    CliOutcome Run(const QStringList& arguments)
    {
        QProcess process;
        folder.Start(process, arguments, updater.get());
        return folder.Finish(process);
    }

    CliFolder folder;
    std::unique_ptr<NetNamespace> updater;
    std::unique_ptr<NetNamespace> lan;
};

TEST_F(CliSearch, ListsEveryBoardThatAnswersOnceEach)
{
    const auto first = StartBoard(0);
    const auto second = StartBoard(1);
    const auto mute = StartBoard(2, {"--no-search-reply"});
    const auto stranger = StartBoard(3, {"--search-from", "3335"});
    const CliOutcome outcome = Run({"search"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    std::vector<std::string> found = Lines(outcome.out);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{BoardAddress(0), BoardAddress(1)})) << outcome.Printed();
}

TEST_F(CliSearch, UdpSearchUpdatesEveryBoardFound)
{
    const auto first = StartBoard(0);
    const auto second = StartBoard(1);
    const auto mute = StartBoard(2, {"--no-search-reply"});
    const std::string image = folder.WriteFile("app.hex", 5000);
    const CliOutcome outcome = Run({"firmware", "app.hex", "--udp-search", "--json"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_EQ(outcome.Events("done").size(), 2u) << outcome.Printed();
    EXPECT_TRUE(SameBytes(first->Kept("burn0.bin"), image));
    EXPECT_TRUE(SameBytes(second->Kept("burn0.bin"), image));
    EXPECT_FALSE(mute->Kept("burn0.bin"));
}

TEST_F(CliSearch, NoBoardFoundIsALinkThatCannotBeOpened)
{
    folder.WriteFile("app.hex", 100);
    const CliOutcome outcome = Run({"firmware", "app.hex", "--udp-search"});
    EXPECT_EQ(outcome.exitCode, 3) << outcome.Printed();
    EXPECT_NE(outcome.err.find("no board answered the search"), std::string::npos) << outcome.Printed();
}

// The updater's namespace has no name server: the lookup fails at once.
TEST_F(CliSearch, BoardNameWithoutAnAddressIsALinkThatCannotBeOpened)
{
    const auto board = StartBoard(0);
    folder.WriteFile("app.hex", 100);
    const QString hosts = QString::fromStdString(BoardAddress(0)) + ",no-such-board.invalid";
    const CliOutcome outcome = Run({"firmware", "app.hex", "--udp", hosts, "--json"});
    EXPECT_EQ(outcome.exitCode, 3) << outcome.Printed();
    EXPECT_EQ(outcome.DoneOf("no-such-board.invalid").value("outcome").toString(), "link failed")
        << outcome.Printed();
    EXPECT_EQ(outcome.DoneOf(BoardAddress(0)).value("outcome").toString(), "updated") << outcome.Printed();
}

} // namespace
