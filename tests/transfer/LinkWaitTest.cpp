// How a link's waits sleep: many boards' waits on one thread, each woken by
// its own socket or its own due time, and a cancel that ends a wait at once.
#include <gtest/gtest.h>

#include <QDeadlineTimer>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "network/IdUDPClient.h"
#include "tests/support/UdpPeer.h"
#include "transfer/engine/Link.h"
#include "transfer/engine/LinkScheduler.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* Loopback = "127.0.0.1";

void Send(UdpPeer& from, const UdpPeer& to, char byte)
{
    from.SendTo(Loopback, to.Port(), std::string(1, byte));
}

// The byte a socket found readable holds.
char Take(UdpPeer& board)
{
    constexpr int AtOnce = 0;
    const std::optional<Datagram> datagram = board.Receive(AtOnce);
    EXPECT_TRUE(datagram && datagram->bytes.size() == 1);
    return datagram && !datagram->bytes.empty() ? datagram->bytes[0] : '?';
}

// Each round, every board waits on its own socket. The sender answers the
// boards in the reverse of their order, at once in the first round and late
// in the last two: a board is woken by its own datagram alone, never by a due
// time of an earlier wait (the third's, in the fourth), and a wait that
// nothing answers ends unanswered, also one that ends after the due time of
// the wait before it (the second).
TEST(LinkScheduler, ManyWaitsOnOneThreadEachEndedByItsOwnSocketOrItsOwnDueTime)
{
    constexpr int Boards = 8;
    std::array<UdpPeer, Boards> boards;
    UdpPeer sender;
    TLinkScheduler scheduler;
    std::vector<std::string> seen(Boards);

    struct Round {
        int timeoutMs;
        std::chrono::milliseconds sendAfter;  // none sent when negative
    };
    constexpr std::array<Round, 4> Rounds = {{{200, 0ms}, {500, -1ms}, {1000, 900ms}, {2000, 800ms}}};
    for (int k = 0; k < Boards; ++k)
        scheduler.Spawn([&, k] {
            for (const Round& round : Rounds) {
                const bool answered = scheduler.WaitReadable(boards[k].Handle(), {}, round.timeoutMs);
                seen[k] += answered ? Take(boards[k]) : '-';
            }
        });
    scheduler.Spawn([&] {
        for (const Round& round : Rounds) {
            if (round.sendAfter < 0ms)
                continue;
            scheduler.Sleep(round.sendAfter);
            for (int k = Boards - 1; k >= 0; --k)
                Send(sender, boards[k], static_cast<char>('a' + k));
        }
    });
    scheduler.Run();

    for (int k = 0; k < Boards; ++k) {
        const char own = static_cast<char>('a' + k);
        EXPECT_EQ(seen[k], (std::string{own, '-', own, own})) << "board " << k;
    }
}

// A socket stays in the scheduler's set between waits: a datagram that comes
// while its task sleeps wakes the task's next wait at once, and a socket
// closed and opened again under the same number still wakes its task.
TEST(LinkScheduler, ASocketKeptBetweenWaitsWakesItsTaskAfterASleepAndAfterItsNumberIsReused)
{
    std::optional<UdpPeer> board(std::in_place);
    UdpPeer sender;
    TLinkScheduler scheduler;
    std::string seen;
    scheduler.Spawn([&] {
        const auto take = [&](int timeoutMs) {
            seen += scheduler.WaitReadable(board->Handle(), {}, timeoutMs) ? Take(*board) : '-';
        };
        take(10000);
        Send(sender, *board, 'b');
        scheduler.Sleep(100ms);
        take(10000);
        const int number = board->Handle();
        scheduler.Forget(number);
        board.emplace();
        ASSERT_EQ(board->Handle(), number);
        Send(sender, *board, 'c');
        take(10000);
    });
    scheduler.Spawn([&] { Send(sender, *board, 'a'); });
    scheduler.Run();
    EXPECT_EQ(seen, "abc");
}

// One task's fault is that task's: the others run to their ends, and the
// fault is told for the task that met it.
TEST(LinkScheduler, ATaskThatThrowsEndsAloneWhileTheOthersFinish)
{
    TLinkScheduler scheduler;
    std::vector<std::string> ended;
    for (const char* name : {"first", "faulty", "last"}) {
        scheduler.Spawn([&scheduler, &ended, name] {
            scheduler.Sleep(10ms);
            if (std::string(name) == "faulty")
                throw std::runtime_error("the faulty board");
            scheduler.Sleep(10ms);
            ended.emplace_back(name);
        });
    }
    scheduler.Run();
    std::sort(ended.begin(), ended.end());
    EXPECT_EQ(ended, (std::vector<std::string>{"first", "last"}));
    EXPECT_EQ(scheduler.Failure(0), nullptr);
    ASSERT_NE(scheduler.Failure(1), nullptr);
    EXPECT_THROW(std::rethrow_exception(scheduler.Failure(1)), std::runtime_error);
}

// The exception being handled belongs to the thread: a task that would wait
// inside a catch block ends the program instead of handing it to another task.
TEST(LinkSchedulerDeathTest, AWaitInsideACatchBlockEndsTheProgram)
{
    EXPECT_DEATH(
        {
            TLinkScheduler scheduler;
            scheduler.Spawn([&scheduler] {
                try {
                    throw std::runtime_error("handled");
                } catch (const std::runtime_error&) {
                    scheduler.Sleep(1ms);
                }
            });
            scheduler.Run();
        },
        "waited with an exception under way");
}

// A cancel from another thread ends a network wait at once: before the
// board's answer, which comes long after it.
TEST(LinkWait, ACancelFromAnotherThreadEndsANetworkWaitBeforeALateAnswer)
{
    constexpr auto AnswerAfter = 1500ms;
    struct : TLinkReceiver {
        bool answered = false;
        void StreamReceived(std::span<const Byte> /*bytes*/) override {}
        void DatagramReceived(std::span<const Byte> /*bytes*/, std::int32_t /*length*/, bool /*fromBoard*/) override
        {
            answered = true;
        }
    } receiver;
    UdpPeer board;
    TIdUDPClient client;
    client.Host = Loopback;
    client.Port = board.Port();
    TUdpLink link(client);
    link.SetReceiver(&receiver);
    ASSERT_TRUE(link.Send(std::array<Byte, 1>{'?'}));
    const std::optional<Datagram> request = board.Receive();
    ASSERT_TRUE(request);

    std::jthread lateBoard([&] {
        std::this_thread::sleep_for(AnswerAfter);
        board.SendTo(request->address, request->port, request->bytes);
    });
    std::jthread stopper([&link] {
        std::this_thread::sleep_for(100ms);
        link.Cancel();
    });
    EXPECT_THROW(link.Await([&] { return receiver.answered; }, QDeadlineTimer(std::chrono::minutes(1))),
                 ETransferStopped);
}

// Ctrl-C cancels every link: every board waiting on the scheduler wakes at
// once through the cancel, not at its next pulse, an hour away here. In a
// child process, since that cancel is for good; a watchdog ends a child whose
// boards never wake.
TEST(LinkSchedulerDeathTest, EveryLinksCancelWakesEveryWaitingBoardAtOnce)
{
    constexpr int Boards = 8;
    constexpr auto Bound = 10s;
    constexpr int NeverWoke = 2;
    EXPECT_EXIT(
        {
            std::thread([Bound] {
                std::this_thread::sleep_for(Bound);
                std::_Exit(NeverWoke);
            }).detach();
            const UdpPeer silent;
            TLinkScheduler scheduler;
            int stopped = 0;
            for (int k = 0; k < Boards; ++k) {
                scheduler.Spawn([&] {
                    TIdUDPClient client;
                    client.Host = Loopback;
                    client.Port = silent.Port();
                    TUdpLink link(client);
                    link.SetPulse([] {}, std::chrono::hours(1));
                    try {
                        link.Await([] { return false; }, QDeadlineTimer(std::chrono::hours(1)));
                    } catch (const ETransferStopped&) {
                        ++stopped;
                    }
                });
            }
            std::jthread interrupt([] {
                std::this_thread::sleep_for(100ms);
                TBoardLink::CancelEveryLink();
            });
            scheduler.Run();
            std::exit(stopped == Boards ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
