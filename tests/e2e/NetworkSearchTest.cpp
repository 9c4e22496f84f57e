// The board search, the choice of a board, Save and the next start, over real
// UDP in network namespaces that each test makes and removes: the updater in
// one namespace whose default route (and so the broadcast) leads onto a veth
// link, the boards in another on the far side of it, each on an address of its
// own. The boards are simulated boards, or, where a test needs replies in an
// exact order or with exact faults, sockets the test drives from a thread.
// Nothing is sent outside these namespaces.
//
// Every search lasts at least one quiet wait of a second, so the tests keep
// their number of searches small.
#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "app/Feedback.h"
#include "app/Unit1.h"
#include "network/IdUDPClient.h"
#include "app/Unit5.h"
#include "tests/serial/Unit2TestSupport.h"
#include "tests/support/BoardSim.h"
#include "tests/support/ModalDriver.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Windows.h"

namespace {

using namespace std::chrono_literals;

const std::string UpdaterAddress = "192.0.2.1";
const std::string LanAddress = "192.0.2.10";
const std::string PrefixLength = "/24";
// Every address of this range is local on the boards' side, so each board
// binds an address of its own without one being configured for it.
const std::string BoardRange = "192.0.2.128/25";
constexpr int FirstBoardHost = 129;

// HostAndLan's link, on the updater's side.
const std::string UpdaterDevice = "veth0";

const std::string SettingsFile = "ZEVEVI.CFG";
const std::string EntryPrefix = "Kolm Board at : ";
constexpr auto SearchPort = static_cast<std::uint16_t>(BoardSearchPort);
constexpr auto OtherPort = static_cast<std::uint16_t>(BoardSearchPort + 1);
constexpr auto Pause = 300ms;  // well inside the search's one-second wait

std::string BoardAddress(int board)
{
    return "192.0.2." + std::to_string(FirstBoardHost + board);
}

std::string Entry(int board)
{
    return EntryPrefix + BoardAddress(board);
}

// One datagram of a scripted board, sent `pause` after the one before.
struct Reply {
    std::string from;
    std::uint16_t port = SearchPort;
    std::string bytes = BoardSearchMessage;
    std::chrono::milliseconds pause = 0ms;
};

// Sockets on the boards' side that wait for the search and answer it with a
// script. Each reply has a sender address of its own.
class ScriptedBoards {
public:
    ScriptedBoards(const NetNamespace& lan, std::vector<Reply> script) : script_(std::move(script))
    {
        {
            const NetNamespaceScope inside(lan);
            listener_ = std::make_unique<UdpPeer>("255.255.255.255", SearchPort);
            for (const Reply& reply : script_)
                senders_.push_back(std::make_unique<UdpPeer>(reply.from, reply.port));
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedBoards() { Finish(); }

    // The search as the boards heard it, once the script has run; the failure
    // of a send is a test failure.
    std::optional<Datagram> HeardSearch()
    {
        Finish();
        EXPECT_EQ(failure_, "");
        return search_;
    }

private:
    void Run()
    {
        search_ = listener_->Receive();
        if (!search_)
            return;
        try {
            for (std::size_t k = 0; k < script_.size(); ++k) {
                std::this_thread::sleep_for(script_[k].pause);
                senders_[k]->SendTo(search_->address, search_->port, script_[k].bytes);
            }
        } catch (const std::exception& error) {
            failure_ = error.what();
        }
    }

    void Finish()
    {
        if (thread_.joinable())
            thread_.join();
    }

    std::vector<Reply> script_;
    std::unique_ptr<UdpPeer> listener_;
    std::vector<std::unique_ptr<UdpPeer>> senders_;
    std::optional<Datagram> search_;
    std::string failure_;
    std::thread thread_;
};

std::vector<std::string> Entries()
{
    std::vector<std::string> entries;
    for (int row = 0; row < Form5->ListBox1->count(); ++row)
        entries.push_back(Form5->ListBox1->item(row)->text().toStdString());
    return entries;
}

void ClickEntry(int row)
{
    QListWidget& list = *Form5->ListBox1;
    list.scrollToItem(list.item(row));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualItemRect(list.item(row)).center());
}

void Search()
{
    QTest::mouseClick(Form5->Button1, Qt::LeftButton);
}

class NetworkSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string reason = NetNamespace::Unavailable(); !reason.empty())
            GTEST_SKIP() << reason;
        std::tie(updater, lan) = HostAndLan(UpdaterAddress + PrefixLength, LanAddress + PrefixLength, BoardRange);
        Enter(*updater);
    }

    // The updater's socket is made at its first use, in the namespace of the
    // thread using it: this one, from here on.
    void Enter(const NetNamespace& space)
    {
        inside.emplace(space);
        StartWindows();
    }

    void StartWindows(const std::optional<Bytes>& settings = std::nullopt)
    {
        windows.reset();
        windows = std::make_unique<Windows>();
        if (settings)
            PutFile(windows->PathOf(SettingsFile), *settings);
        windows->Create();
        Form5->show();
    }

    Bytes SavedSettings() const { return FileContent(windows->PathOf(SettingsFile)); }

    std::unique_ptr<NetNamespace> updater;
    std::unique_ptr<NetNamespace> lan;
    RoutedNetworks routed;
    std::optional<NetNamespaceScope> inside;
    std::unique_ptr<Windows> windows;
    ModalDriver driver;
};

TEST_F(NetworkSearch, ListsEchoesFromTheSearchPortInArrivalOrderAndNoStrangerKeepsItGoing)
{
    ScriptedBoards boards(*lan, {
        {BoardAddress(2)},
        {BoardAddress(1)},
        {BoardAddress(3), OtherPort},
        {BoardAddress(4), SearchPort, BoardSearchMessage + '\0', Pause},
        {BoardAddress(5), SearchPort, "drvk", Pause},
        {BoardAddress(6), SearchPort, "DRV", Pause},
        // More than a second after the last board: the ignored datagrams
        // above did not keep the search waiting.
        {BoardAddress(0), SearchPort, BoardSearchMessage, Pause},
    });
    Search();

    const std::optional<Datagram> search = boards.HeardSearch();
    ASSERT_TRUE(search.has_value());
    EXPECT_EQ(search->bytes, BoardSearchMessage);
    EXPECT_EQ(search->address, UpdaterAddress);
    EXPECT_EQ(Entries(), (std::vector<std::string>{Entry(2), Entry(1)}));
    EXPECT_EQ(Form5->Panel1->text(), "Found Host Kolm Board");
    EXPECT_EQ(Form5->Panel2->text(), "Finished Searching");
    EXPECT_TRUE(Form5->ListBox1->selectedItems().isEmpty());
    EXPECT_TRUE(Form1->IdUDPClient1->Host.empty());
    EXPECT_TRUE(driver.Boxes().empty());
}

// Each search lists the boards that answer it, once each, and its entries
// stand for their boards in the host and the saved record.
TEST_F(NetworkSearch, EachSearchStartsFromAnEmptyListWhoseEntriesChooseTheirBoards)
{
    {
        ScriptedBoards boards(*lan, {{BoardAddress(0)}, {BoardAddress(1)}});
        Search();
    }
    ASSERT_EQ(Entries(), (std::vector<std::string>{Entry(0), Entry(1)}));
    ClickEntry(1);
    {
        ScriptedBoards boards(*lan, {{BoardAddress(3)}, {BoardAddress(0)}});
        Search();
    }
    ASSERT_EQ(Entries(), (std::vector<std::string>{Entry(3), Entry(0)}));
    EXPECT_TRUE(Form5->ListBox1->selectedItems().isEmpty());
    // The host chosen before the search stays until the next choice.
    EXPECT_EQ(Form1->IdUDPClient1->Host, BoardAddress(1));

    PutFile(windows->PathOf(SettingsFile), {SerialRecordKind, 0, 6, 3, 0, 0});
    ClickEntry(0);
    EXPECT_EQ(Form1->IdUDPClient1->Host, BoardAddress(3));
    EXPECT_EQ(Form1->CommMode, ModeRS232);
    EXPECT_EQ(Form1->windowTitle(), "Orvenda Updater RS232 Mode");
    QTest::mouseClick(Form5->BitBtn1, Qt::LeftButton);
    EXPECT_EQ(SavedSettings(), (Bytes{NetworkRecordKind, 192, 0, 2, static_cast<Byte>(FirstBoardHost + 3)}));

    // The saved board is the selected one, whichever board is in use.
    ClickEntry(1);
    EXPECT_EQ(Form1->IdUDPClient1->Host, BoardAddress(0));
    Form1->IdUDPClient1->Host = BoardAddress(1);
    QTest::mouseClick(Form5->BitBtn1, Qt::LeftButton);
    EXPECT_EQ(SavedSettings(), (Bytes{NetworkRecordKind, 192, 0, 2, static_cast<Byte>(FirstBoardHost)}));
    EXPECT_TRUE(driver.Boxes().empty());

    // A save that cannot replace the file is reported and damages nothing.
    std::filesystem::remove(windows->PathOf(SettingsFile));
    std::filesystem::create_directory(windows->PathOf(SettingsFile));
    QTest::mouseClick(Form5->BitBtn1, Qt::LeftButton);
    ASSERT_EQ(driver.Boxes().size(), 1u);
    EXPECT_EQ(driver.Boxes()[0].caption, ProgramName);
    EXPECT_EQ(driver.Boxes()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(std::filesystem::is_directory(windows->PathOf(SettingsFile)));
}

// The bound holds per search: boards of an earlier search take no room.
TEST_F(NetworkSearch, EachSearchListsAtMost101Boards)
{
    const int earlierBoard = static_cast<int>(MaxBoards) + 10;
    {
        ScriptedBoards boards(*lan, {{BoardAddress(earlierBoard)}, {BoardAddress(earlierBoard + 1)}});
        Search();
    }
    ASSERT_EQ(Entries().size(), 2u);
    std::vector<Reply> script;
    for (std::size_t board = 0; board < MaxBoards + 2; ++board)
        script.push_back({BoardAddress(static_cast<int>(board))});
    {
        ScriptedBoards boards(*lan, script);
        Search();
    }
    const std::vector<std::string> entries = Entries();
    ASSERT_EQ(entries.size(), MaxBoards);
    // The others that answered are told, not dropped without a word.
    EXPECT_EQ(Form5->Panel1->text(), QStringLiteral("%1 answered, %2 listed").arg(MaxBoards + 2).arg(MaxBoards));
    EXPECT_EQ(entries.front(), Entry(0));
    EXPECT_EQ(entries.back(), Entry(static_cast<int>(MaxBoards) - 1));
    ClickEntry(static_cast<int>(MaxBoards) - 1);
    EXPECT_EQ(Form1->IdUDPClient1->Host, BoardAddress(static_cast<int>(MaxBoards) - 1));
    EXPECT_EQ(Form5->Panel2->text(), "Finished Searching");
}

TEST_F(NetworkSearch, StrangersCannotEndTheSearchButAFailingSocketDoesThroughTheErrorReport)
{
    constexpr std::size_t Oversized = 9000;  // more than the endpoint's text buffer
    {
        ScriptedBoards boards(*lan, {{BoardAddress(0)},
                                     {BoardAddress(1), SearchPort, ""},
                                     {BoardAddress(2), SearchPort, std::string(Oversized, 'D')},
                                     {BoardAddress(3)}});
        Search();
    }
    EXPECT_EQ(Entries(), (std::vector<std::string>{Entry(0), Entry(3)}));
    EXPECT_EQ(Form5->Panel2->text(), "Finished Searching");
    EXPECT_TRUE(driver.Boxes().empty());

    // Without any interface up nothing can go out, not even to 255.255.255.255.
    Form5->Panel2->clear();
    updater->RunIp({"link", "set", QString::fromStdString(UpdaterDevice), "down"});
    Search();
    ASSERT_EQ(driver.Boxes().size(), 1u);
    EXPECT_EQ(driver.Boxes()[0].caption, ProgramName);
    EXPECT_EQ(driver.Boxes()[0].text, "Socket Error # 10051\r\nNetwork is unreachable.");
    EXPECT_EQ(driver.Boxes()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(Form5->Panel2->text().isEmpty());
    // A search that never went out leaves the earlier list.
    EXPECT_EQ(Entries(), (std::vector<std::string>{Entry(0), Entry(3)}));
}

class RoutedNetworkSearch : public NetworkSearch {
protected:
    void SetUp() override
    {
        if (const std::string reason = NetNamespace::Unavailable(); !reason.empty())
            GTEST_SKIP() << reason;
        routed = MakeRoutedNetworks();
        Enter(*routed.host);
    }
};

// A board on each of two LANs is listed; the one behind a router hears no broadcast.
TEST_F(RoutedNetworkSearch, ListsTheBoardsOfEveryLan)
{
    std::vector<std::unique_ptr<BoardSim>> boards;
    for (const auto& space : routed.lans)
        boards.push_back(std::make_unique<BoardSim>(std::vector<std::string>{"--udp", "0.0.0.0"},
                                                    std::vector<std::string>{"ip", "netns", "exec", space->Name()}));
    Search();
    std::vector<std::string> entries = Entries();
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{EntryPrefix + routed.peers[0], EntryPrefix + routed.peers[1]}));
    EXPECT_TRUE(driver.Boxes().empty());
}

// Two simulated boards: the one chosen gets the firmware, and the saved
// choice takes the next start straight to it in Network mode.
TEST_F(NetworkSearch, ChosenBoardGetsTheFirmwareAlsoAfterARestart)
{
    const std::vector<std::string> launcher = {"ip", "netns", "exec", lan->Name()};
    BoardSim first({"--udp", BoardAddress(0)}, launcher);
    BoardSim second({"--udp", BoardAddress(1)}, launcher);
    Search();
    const std::vector<std::string> entries = Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_NE(entries[0], entries[1]);
    for (const std::string& entry : entries)
        EXPECT_TRUE(entry == Entry(0) || entry == Entry(1)) << entry;

    ClickEntry(1);
    const std::string chosenAddress = entries[1].substr(EntryPrefix.size());
    EXPECT_EQ(Form1->IdUDPClient1->Host, chosenAddress);
    BoardSim& chosen = chosenAddress == BoardAddress(0) ? first : second;
    BoardSim& other = &chosen == &first ? second : first;

    auto update = [&](char fill) {
        const std::string image(3000, fill);
        Form1->FirmwareFileName = windows->PathOf("app.hex");
        std::ofstream(Form1->FirmwareFileName, std::ios::binary) << image;
        Form1->Update1Click();
        EXPECT_EQ(Form1->Panel1->text(), "Finish Update");
        EXPECT_EQ(chosen.Kept("burn0.bin"), image);
        EXPECT_FALSE(other.Kept("burn0.bin").has_value());
    };
    Form1->Network2Click();
    update('a');

    QTest::mouseClick(Form5->BitBtn1, Qt::LeftButton);
    StartWindows(SavedSettings());
    EXPECT_EQ(Form1->CommMode, ModeNetwork);
    EXPECT_EQ(Form1->windowTitle(), "Dorvik Firmware Update NetWork Mode");
    EXPECT_EQ(Form1->IdUDPClient1->Host, chosenAddress);
    update('b');

    for (const SeenBox& box : driver.Boxes())
        EXPECT_EQ(box.caption, "Update Confirmation") << box.text.toStdString();
}

} // namespace
