// How a link's waits sleep: many boards' waits on one thread, each woken by
// its own socket or its own due time, and a cancel that ends a wait at once.
#include <gtest/gtest.h>

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <set>
#include <array>
#include <cfenv>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "network/IdUDPClient.h"
#include "transfer/engine/Link.h"
#include "transfer/board/BoardLock.h"
#include "transfer/engine/LinkScheduler.h"

namespace {

using namespace std::chrono_literals;

// A UDP socket on loopback with the port the system gave it.
struct LoopbackSocket {
    int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};

    LoopbackSocket()
    {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(handle, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length), 0);
    }
    ~LoopbackSocket() { ::close(handle); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    void SendTo(const LoopbackSocket& to, char byte) const
    {
        EXPECT_EQ(::sendto(handle, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&to.address), sizeof to.address), 1);
    }
    char Take() const
    {
        char byte = 0;
        EXPECT_EQ(::recv(handle, &byte, 1, MSG_DONTWAIT), 1);
        return byte;
    }
};

// Each round, every board waits on its own socket. The sender answers the
// boards in the reverse of their order, at once in the first round and late
// in the last two: a board is woken by its own datagram alone, never by a due
// time of an earlier wait (the third's, in the fourth), and a wait that
// nothing answers ends unanswered, also one that ends after the due time of
// the wait before it (the second).
TEST(LinkScheduler, ManyWaitsOnOneThreadEachEndedByItsOwnSocketOrItsOwnDueTime)
{
    constexpr int Boards = 8;
    std::array<LoopbackSocket, Boards> boards;
    const LoopbackSocket sender;
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
                const bool answered = scheduler.WaitReadable(boards[k].handle, {}, round.timeoutMs);
                seen[k] += answered ? boards[k].Take() : '-';
            }
        });
    scheduler.Spawn([&] {
        for (const Round& round : Rounds) {
            if (round.sendAfter < 0ms)
                continue;
            scheduler.Sleep(round.sendAfter);
            for (int k = Boards - 1; k >= 0; --k)
                sender.SendTo(boards[k], static_cast<char>('a' + k));
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
    std::optional<LoopbackSocket> board(std::in_place);
    const LoopbackSocket sender;
    TLinkScheduler scheduler;
    std::string seen;
    scheduler.Spawn([&] {
        const auto take = [&](int timeoutMs) {
            seen += scheduler.WaitReadable(board->handle, {}, timeoutMs) ? board->Take() : '-';
        };
        take(10000);
        sender.SendTo(*board, 'b');
        scheduler.Sleep(100ms);
        take(10000);
        const int number = board->handle;
        scheduler.Forget(number);
        board.emplace();
        ASSERT_EQ(board->handle, number);
        sender.SendTo(*board, 'c');
        take(10000);
    });
    scheduler.Spawn([&] { sender.SendTo(*board, 'a'); });
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

// The process's epoll sets, by descriptor.
std::set<int> EpollSets()
{
    std::set<int> sets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error).string() == "anon_inode:[eventpoll]")
            sets.insert(std::stoi(entry.path().filename().string()));
    }
    return sets;
}

// A scheduler that goes while a task waits (here its own wait failed, its
// epoll set replaced under it) unwinds the task on its own stack: the board's
// lock is free again and the task's socket closed.
TEST(LinkScheduler, GoingWhileATaskWaitsLetsGoOfWhatItHolds)
{
    const std::string key = "scheduler-test-" + std::to_string(::getpid());
    const std::set<int> before = EpollSets();
    std::optional<TLinkScheduler> scheduler(std::in_place);
    std::set<int> made = EpollSets();
    for (const int set : before)
        made.erase(set);
    ASSERT_EQ(made.size(), 1u);
    int socket = -1;
    scheduler->Spawn([&] {
        const TBoardLock lock(key, "the board");
        const LoopbackSocket mine;
        socket = mine.handle;
        scheduler->WaitReadable(mine.handle, {}, 60'000);
    });
    scheduler->Spawn([&] {
        scheduler->Sleep(1ms);
        const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::dup2(nothing, *made.begin());
        ::close(nothing);
    });
    EXPECT_THROW(scheduler->Run(), std::system_error);
    EXPECT_THROW(TBoardLock(key, "the board"), EBoardBusy);
    scheduler.reset();
    EXPECT_NO_THROW(TBoardLock(key, "the board"));
    EXPECT_EQ(::fcntl(socket, F_GETFD), -1) << "the task's socket is still open";
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

// A task computes with its own floating-point rounding, as a thread does: a
// change in one task reaches neither another task nor the scheduler's thread.
TEST(LinkScheduler, EachTaskKeepsItsOwnFloatingPointRounding)
{
    ASSERT_EQ(std::fegetround(), FE_TONEAREST);
    TLinkScheduler scheduler;
    int changer = -1;
    int other = -1;
    scheduler.Spawn([&] {
        std::fesetround(FE_UPWARD);
        scheduler.Sleep(20ms);
        changer = std::fegetround();
    });
    scheduler.Spawn([&] {
        scheduler.Sleep(10ms);
        other = std::fegetround();
    });
    scheduler.Run();
    EXPECT_EQ(changer, FE_UPWARD);
    EXPECT_EQ(other, FE_TONEAREST);
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
    std::fesetround(FE_TONEAREST);
}

std::atomic<int> signalsTaken{0};

// A signal is taken where the loop waits, never in the middle of a task's
// step: the handler of one sent while a task runs has not run when the task
// goes on, and has once the task's next wait is over.
TEST(LinkScheduler, ASignalIsTakenWhereTheLoopWaitsNotInATasksStep)
{
    struct sigaction counting {};
    counting.sa_handler = [](int) { ++signalsTaken; };
    sigemptyset(&counting.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGUSR1, &counting, &before), 0);
    TLinkScheduler scheduler;
    int takenInStep = -1;
    int takenAfterWait = -1;
    scheduler.Spawn([&] {
        ::pthread_kill(::pthread_self(), SIGUSR1);
        takenInStep = signalsTaken;
        scheduler.Sleep(1ms);
        takenAfterWait = signalsTaken;
    });
    scheduler.Run();
    ::sigaction(SIGUSR1, &before, nullptr);
    EXPECT_EQ(takenInStep, 0);
    EXPECT_EQ(takenAfterWait, 1);
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
    const LoopbackSocket board;
    TIdUDPClient client;
    client.Host = "127.0.0.1";
    client.Port = ntohs(board.address.sin_port);
    TUdpLink link(client);
    link.SetReceiver(&receiver);
    ASSERT_TRUE(link.Send(std::array<Byte, 1>{'?'}));
    sockaddr_in updater{};
    socklen_t length = sizeof updater;
    char request = 0;
    ASSERT_EQ(::recvfrom(board.handle, &request, 1, 0, reinterpret_cast<sockaddr*>(&updater), &length), 1);

    std::jthread lateBoard([&] {
        std::this_thread::sleep_for(AnswerAfter);
        ::sendto(board.handle, &request, 1, 0, reinterpret_cast<const sockaddr*>(&updater), length);
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
// child process, since that cancel is for good; an alarm ends a child whose
// boards never wake.
TEST(LinkSchedulerDeathTest, EveryLinksCancelWakesEveryWaitingBoardAtOnce)
{
    constexpr int Boards = 8;
    constexpr unsigned int BoundSeconds = 10;
    EXPECT_EXIT(
        {
            ::alarm(BoundSeconds);
            const LoopbackSocket silent;
            TLinkScheduler scheduler;
            int stopped = 0;
            for (int k = 0; k < Boards; ++k) {
                scheduler.Spawn([&] {
                    TIdUDPClient client;
                    client.Host = "127.0.0.1";
                    client.Port = ntohs(silent.address.sin_port);
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
