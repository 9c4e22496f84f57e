// How a link's waits sleep on Linux: the scheduler's epoll set, the signals
// it takes where it waits, and each task's floating-point rounding.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cfenv>
#include <csignal>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <system_error>

#include "tests/support/UdpPeer.h"
#include "transfer/board/BoardLock.h"
#include "transfer/engine/LinkScheduler.h"

namespace {

using namespace std::chrono_literals;

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
        const UdpPeer mine;
        socket = mine.Handle();
        scheduler->WaitReadable(mine.Handle(), {}, 60'000);
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

// A task computes with its own floating-point rounding, as a thread does: a
// change in one task reaches neither another task nor the scheduler's thread.
// Linux's only so far: under Wine a fiber switch carries no floating-point
// state, whatever the fiber's flags.
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

} // namespace
