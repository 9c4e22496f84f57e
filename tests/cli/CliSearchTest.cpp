// The board search and --udp-search, inside network namespaces of the test's
// own (the search broadcasts): the updater's namespace reaches the boards'
// through veth pairs, and a router. A search of one loopback address alone
// sends no broadcast and runs without them.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QProcess>

#include <algorithm>
#include <array>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>

#include "tests/cli/CliRunner.h"
#include "tests/e2e/UpdaterSession.h"
#include "tests/support/BoardSim.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/UdpPeer.h"
#include "network/BoardSearch.h"

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
    const CliOutcome outcome = Run({"firmware", "app.hex", "--udp-search", "--yes", "--json"});
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
    EXPECT_NE(outcome.err.find("no board answered the search; searched veth0 (255.255.255.255)"), std::string::npos)
        << outcome.Printed();
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
    // Told in words, naming the host, on one line.
    const std::vector<QJsonObject> errors = outcome.Events("error");
    ASSERT_EQ(errors.size(), 1u) << outcome.Printed();
    EXPECT_EQ(errors.front().value("message").toString().toStdString(),
              "cannot resolve the name \"no-such-board.invalid\": check the name, or give the board's address");
    EXPECT_EQ(outcome.DoneOf(BoardAddress(0)).value("outcome").toString(), "updated") << outcome.Printed();
    // No plan is made of a name that has no board: refused, nothing sent.
    const CliOutcome plan = Run({"firmware", "app.hex", "--udp", hosts, "--dry-run"});
    EXPECT_EQ(plan.exitCode, 2) << plan.Printed();
    EXPECT_EQ(plan.out, "") << plan.Printed();
    EXPECT_NE(plan.err.find("cannot resolve the name \"no-such-board.invalid\""), std::string::npos) << plan.Printed();
}

TEST(CliSearchStranger, EmptyAndOversizedDatagramsDoNotEndTheSearchAndABoardIsListedOnce)
{
    constexpr std::uint16_t SearchPort = 3334;
    constexpr std::size_t Oversized = 9000;  // more than any receive buffer of the updater
    const std::string board = LoopbackAddress(1);
    UdpPeer listener(board, SearchPort);
    UdpPeer stranger(LoopbackAddress(2));
    CliFolder folder;
    QProcess process;
    folder.Start(process, {"search", "--range", QString::fromStdString(board)});
    const std::optional<Datagram> search = listener.Receive();
    ASSERT_TRUE(search.has_value());
    stranger.SendTo(search->address, search->port, "");
    stranger.SendTo(search->address, search->port, std::string(Oversized, 'D'));
    listener.SendTo(search->address, search->port, search->bytes);
    listener.SendTo(search->address, search->port, search->bytes);  // listed once all the same
    const CliOutcome outcome = folder.Finish(process);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_EQ(outcome.out, board + "\n") << outcome.Printed();
}

// Sends `bytes` from `sender` to where the search came from, every pause,
// until the search has ended or `most` were sent; returns how many went.
int FloodUntilEnded(QProcess& search, UdpPeer& sender, const Datagram& from, const std::string& bytes, int most)
{
    constexpr int PauseMs = 200;
    int sent = 0;
    while (sent < most && !search.waitForFinished(PauseMs)) {
        sender.SendTo(from.address, from.port, bytes);
        ++sent;
    }
    return sent;
}

// A stranger's datagrams neither end the search nor keep it open: it ends a
// quiet second after the board's reply, long before the flood does.
TEST(CliSearchStranger, AJunkFloodDoesNotKeepTheSearchOpen)
{
    constexpr int Flood = 25;  // five seconds of junk, inside the search's bound
    const std::string board = LoopbackAddress(3);
    UdpPeer listener(board, BoardSearchPort);
    UdpPeer stranger(LoopbackAddress(4));
    CliFolder folder;
    QProcess process;
    folder.Start(process, {"search", "--range", QString::fromStdString(board), "--search-time", "30"});
    const std::optional<Datagram> search = listener.Receive();
    ASSERT_TRUE(search.has_value());
    listener.SendTo(search->address, search->port, search->bytes);
    EXPECT_LT(FloodUntilEnded(process, stranger, *search, "junk", Flood), Flood);
    const CliOutcome outcome = folder.Finish(process);
    EXPECT_EQ(outcome.out, board + "\n") << outcome.Printed();
}

// A board that keeps replying keeps the quiet second from passing; the
// search's bound ends it all the same.
TEST(CliSearchStranger, ABoardThatKeepsReplyingIsBoundBySearchTime)
{
    constexpr int Flood = 50;
    const std::string board = LoopbackAddress(5);
    UdpPeer listener(board, BoardSearchPort);
    CliFolder folder;
    QProcess process;
    folder.Start(process, {"search", "--range", QString::fromStdString(board), "--search-time", "2"});
    const std::optional<Datagram> search = listener.Receive();
    ASSERT_TRUE(search.has_value());
    EXPECT_LT(FloodUntilEnded(process, listener, *search, search->bytes, Flood), Flood);
    const CliOutcome outcome = folder.Finish(process);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_EQ(outcome.out, board + "\n") << outcome.Printed();
}

// The window's list keeps 101; the command line lists every board.
TEST(CliSearchMany, ListsEveryBoardThatAnswersBeyondTheWindowsList)
{
    constexpr int Boards = 150;
    std::vector<std::unique_ptr<UdpPeer>> boards;
    for (int k = 1; k <= Boards; ++k)
        boards.push_back(std::make_unique<UdpPeer>(LoopbackAddress(k), BoardSearchPort));
    const std::string first = LoopbackAddress(1);
    const QString range = QString::fromStdString(first.substr(0, first.rfind('.'))) + ".0/24";
    CliFolder folder;
    QProcess process;
    folder.Start(process, {"search", "--range", range});
    std::set<std::string> expected;
    for (const auto& board : boards) {
        const std::optional<Datagram> search = board->Receive();
        ASSERT_TRUE(search.has_value());
        board->SendTo(search->address, search->port, search->bytes);
    }
    for (int k = 1; k <= Boards; ++k)
        expected.insert(LoopbackAddress(k));
    const CliOutcome outcome = folder.Finish(process);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    std::istringstream lines(outcome.out);
    std::set<std::string> listed;
    for (std::string line; std::getline(lines, line);)
        listed.insert(line);
    EXPECT_EQ(listed, expected) << outcome.Printed();
}

// Two LANs and one behind a router, a simulated board in each, listening on
// every address of its LAN as a board does.
class CliRoutedSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string reason = NetNamespace::Unavailable(); !reason.empty())
            GTEST_SKIP() << reason;
        nets = MakeRoutedNetworks();
        for (std::size_t k = 0; k < RoutedNetworks::LanCount; ++k) {
            boards[k] = std::make_unique<BoardSim>(std::vector<std::string>{"--udp", "0.0.0.0"},
                                                   std::vector<std::string>{"ip", "netns", "exec", nets.lans[k]->Name()});
        }
    }

    CliOutcome Run(const QStringList& arguments)
    {
        QProcess process;
        folder.Start(process, arguments, nets.host.get());
        return folder.Finish(process);
    }

    // The boards a search lists, in address order.
    std::vector<std::string> Found(const QStringList& arguments)
    {
        const CliOutcome outcome = Run(QStringList{"search"} + arguments);
        EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
        std::vector<std::string> found = Lines(outcome.out);
        std::sort(found.begin(), found.end());
        return found;
    }

    static QString Q(const std::string& text) { return QString::fromStdString(text); }

    CliFolder folder;
    RoutedNetworks nets;
    std::array<std::unique_ptr<BoardSim>, RoutedNetworks::LanCount> boards;
};

TEST_F(CliRoutedSearch, SearchReachesEveryLanOnceAndNoBoardBehindTheRouter)
{
    EXPECT_EQ(Found({}), (std::vector<std::string>{nets.peers[0], nets.peers[1]}));
    // The default route's LAN hears 255.255.255.255 alone, not its own broadcast address as well.
    EXPECT_EQ(boards[0]->Count("searches"), 1u);
    EXPECT_EQ(boards[1]->Count("searches"), 1u);
    EXPECT_EQ(boards[2]->Count("searches"), 0u);
}

TEST_F(CliRoutedSearch, InterfaceAndRangeEachLimitTheSearch)
{
    EXPECT_EQ(Found({"--interface", Q(nets.devices[1])}), std::vector<std::string>{nets.peers[1]});
    EXPECT_EQ(Found({"--range", Q(nets.networks[2])}), std::vector<std::string>{nets.peers[2]});
}

TEST_F(CliRoutedSearch, UdpSearchUpdatesTheBoardsOfTheInterfaceAndTheRange)
{
    const std::string image = folder.WriteFile("app.hex", 3000);
    const CliOutcome outcome = Run({"firmware", "app.hex", "--udp-search", "--yes", "--interface", Q(nets.devices[1]),
                                    "--range", Q(nets.networks[2]), "--json"});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.Printed();
    EXPECT_FALSE(boards[0]->Kept("burn0.bin"));
    EXPECT_TRUE(SameBytes(boards[1]->Kept("burn0.bin"), image));
    EXPECT_TRUE(SameBytes(boards[2]->Kept("burn0.bin"), image));
}

TEST_F(CliRoutedSearch, RangeWithoutBoardsEndsNamingWhatItSearched)
{
    const QString empty = "198.18.4.16/28";  // behind the router, beside its board
    const CliOutcome plain = Run({"search", "--range", empty});
    // No board found is no success.
    EXPECT_EQ(plain.exitCode, 1) << plain.Printed();
    EXPECT_EQ(plain.out, "");
    EXPECT_NE(plain.err.find("no board answered the search; searched 198.18.4.16/28"), std::string::npos)
        << plain.Printed();

    folder.WriteFile("app.hex", 100);
    const CliOutcome json = Run({"firmware", "app.hex", "--udp-search", "--range", empty, "--json"});
    EXPECT_EQ(json.exitCode, 3) << json.Printed();
    const std::vector<QJsonObject> done = json.Events("done");
    ASSERT_EQ(done.size(), 1u) << json.Printed();
    EXPECT_EQ(done[0].value("searched").toArray(), QJsonArray{empty});
    EXPECT_TRUE(done[0].value("boards").toArray().isEmpty());
}

TEST_F(CliRoutedSearch, RangeWithoutARouteLeavesTheRestOfTheSearchGoing)
{
    nets.host->RunIp({"route", "del", "default"});
    const QString unreachable = "203.0.113.0/30";
    EXPECT_EQ(Found({"--range", unreachable, "--interface", Q(nets.devices[1])}),
              std::vector<std::string>{nets.peers[1]});
    // The place no send left for is named with its reason, and not as searched.
    const CliOutcome json = Run({"search", "--range", unreachable, "--interface", Q(nets.devices[1]), "--json"});
    const std::vector<QJsonObject> done = json.Events("done");
    ASSERT_EQ(done.size(), 1u) << json.Printed();
    EXPECT_EQ(done[0].value("searched").toArray().size(), 1) << json.Printed();
    const QJsonArray failed = done[0].value("failed").toArray();
    ASSERT_EQ(failed.size(), 1) << json.Printed();
    EXPECT_TRUE(failed[0].toString().startsWith(unreachable + ": ")) << json.Printed();
    EXPECT_TRUE(failed[0].toString().contains("Network is unreachable")) << json.Printed();
    // With nothing sent at all the search fails as its socket did.
    const CliOutcome alone = Run({"search", "--range", unreachable});
    EXPECT_EQ(alone.exitCode, 3) << alone.Printed();
    EXPECT_NE(alone.err.find("Network is unreachable"), std::string::npos) << alone.Printed();
    EXPECT_NE(alone.err.find("the search could not be sent"), std::string::npos) << alone.Printed();
    EXPECT_NE(alone.err.find("--range CIDR"), std::string::npos) << alone.Printed();
}

TEST_F(CliRoutedSearch, InterfaceThatCannotBeSearchedIsRefusedWithNothingSent)
{
    nets.host->RunIp({"link", "set", Q(nets.devices[1]), "down"});
    const std::vector<std::pair<QString, std::string>> cases = {
        {"nosuch0", "no network interface is named \"nosuch0\""},
        {Q(nets.devices[1]), "network interface " + nets.devices[1] + " is down"},
        {"lo", "network interface lo has no IPv4 broadcast address"},
    };
    for (const auto& [name, reason] : cases) {
        const CliOutcome outcome = Run({"search", "--interface", Q(nets.devices[0]), "--interface", name});
        EXPECT_EQ(outcome.exitCode, 2) << outcome.Printed();
        EXPECT_NE(outcome.err.find(reason), std::string::npos) << outcome.Printed();
    }
    EXPECT_EQ(boards[0]->Count("searches"), 0u);
}

} // namespace
