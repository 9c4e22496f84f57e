// Who a board is, however it is spelled, and its lock: one key per board, a
// key that only one updater holds at a time, and held across a board's tries.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <optional>
#include <string>

#include "transfer/board/BoardIdentity.h"
#include "transfer/board/BoardLock.h"
#include "transfer/board/BoardTry.h"
#include "transfer/record/History.h"

namespace {

// Every spelling the socket takes for 127.0.0.2 names that board.
TEST(BoardIdentity, EverySpellingOfAnAddressIsOneBoard)
{
    for (const char* spelling : {"127.0.0.2", "127.0.0.02", "+127.0.0.2", "127.0.0.+2", "127.00.0.2", "0127.0.0.2",
                                 "2130706434", "127.2", "0x7f.0.0.2", "0x7f000002"}) {
        const TBoardIdentity board = NetworkBoardIdentity(spelling);
        EXPECT_EQ(board.key, "udp:127.0.0.2") << spelling;
        EXPECT_EQ(board.address, "127.0.0.2") << spelling;
        EXPECT_EQ(board.spelling, spelling);
    }
    EXPECT_EQ(NetworkBoardIdentity("LocalHost").key, "udp:127.0.0.1");
}

TEST(BoardIdentity, AnAddressThatReachesNoSingleBoardIsRefused)
{
    TLocalNetwork network;
    network.interfaces.push_back({"eth1", true, true, false, {{{10, 1, 2, 7}, TIdIPv4Address{10, 1, 2, 255}}}});
    for (const TIdIPv4Address address : {TIdIPv4Address{224, 0, 0, 1}, TIdIPv4Address{239, 255, 255, 250},
                                         TIdIPv4Address{255, 255, 255, 255}, TIdIPv4Address{127, 255, 255, 255},
                                         TIdIPv4Address{0, 0, 0, 0}, TIdIPv4Address{10, 1, 2, 255}})
        EXPECT_THROW(NetworkBoardIdentity("board", address, network), ENotABoard)
            << TIdStack::AddressToText(address);
    EXPECT_EQ(NetworkBoardIdentity("board", {10, 1, 2, 254}, network).key, "udp:10.1.2.254");
    EXPECT_EQ(NetworkBoardIdentity("board", {223, 255, 255, 255}, network).key, "udp:223.255.255.255");
}

// The lock of one key refuses a second holder until the first lets go; the
// lock of another key is another lock.
TEST(BoardLock, OneHolderPerKeyUntilItLetsGo)
{
    const std::string longKey = "serial:/dev/" + std::string(200, 'x');
    for (const std::string& key : {std::string("udp:127.0.0.77"), longKey}) {
        std::optional<TBoardLock> held(std::in_place, key, "127.0.0.077");
        EXPECT_NO_THROW(TBoardLock(key + "0", "another board")) << key;
        EXPECT_THROW(TBoardLock(key, "127.0.0.077"), EBoardBusy) << "a second lock of " << key << " was given";
        held.reset();
        EXPECT_NO_THROW(TBoardLock(key, "the board")) << key;
    }
}

// The first try of a board takes its lock, the next keeps it, and it goes
// with the board's update; each try is recorded.
TEST(BoardLock, IsHeldAcrossTheTriesOfABoard)
{
    QTemporaryDir folder;
    const QString historyPath = folder.filePath("history.jsonl");
    THistoryWriter history(historyPath);
    const std::string address = "127.0.0.78";
    const std::string key = NetworkBoardIdentity(address).key;
    {
        TBoardUpdate board;
        board.name = address;
        board.identity = NetworkBoardIdentity(address);
        board.settings.kind = LinkKind::Network;
        board.settings.host = address;
        // An image that cannot be read fails each try before anything is sent.
        board.request = {HistoryKind::Firmware, {folder.filePath("gone.hex").toStdString()}};
        board.history = &history;
        TTryEvents events;
        for (int attempt = 1; attempt <= 2; ++attempt) {
            const TBoardResult result = TryBoard(board, events);
            EXPECT_EQ(result.attempt, attempt);
            EXPECT_EQ(result.outcome, Ending::Failed) << result.message;
            EXPECT_THROW(TBoardLock(key, address), EBoardBusy) << "after try " << attempt;
        }
    }
    EXPECT_NO_THROW(TBoardLock(key, address)) << "the lock outlived the board's update";
    EXPECT_EQ(ReadHistory(historyPath).lines.size(), 2);
}

} // namespace
