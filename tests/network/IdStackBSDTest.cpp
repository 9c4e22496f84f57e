// The stack on BSD sockets: signals during a wait, and the system's error
// codes mapped onto the socket error table.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <thread>

#include "network/IdStackBSD.h"
#include "network/IdUDPClient.h"

namespace {

// Signals keep arriving during a wait (a handler without SA_RESTART, as a
// debugger or a timer would install): the wait neither fails nor ends early.
TEST(StackBSD, SignalsNeitherEndNorFailAWait)
{
    TIdUDPClient client;
    struct sigaction ignore {};
    ignore.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &previous), 0);
    const pthread_t waiter = ::pthread_self();
    std::atomic<bool> waiting{true};
    std::thread interrupter([&] {
        while (waiting) {
            ::pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    std::string address;
    std::int32_t port = -1;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(EXPECT_EQ(client.ReceiveTextFrom(address, port, 1000), ""));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
    EXPECT_EQ(port, 0);

    waiting = false;
    interrupter.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(StackBSD, SystemCodesMapOntoTheTable)
{
    EXPECT_EQ(TIdStackBSD::TranslateSystemError(EINTR), Id_WSAEINTR);
    EXPECT_EQ(TIdStackBSD::TranslateSystemError(EAGAIN), Id_WSAEWOULDBLOCK);
    EXPECT_EQ(TIdStackBSD::TranslateSystemError(EPERM), Id_WSAEACCES);
    EXPECT_EQ(TIdStackBSD::TranslateSystemError(ENOTEMPTY), Id_WSAENOTEMPTY);
    EXPECT_EQ(TIdStackBSD::TranslateSystemError(ENOMEM), ENOMEM);

    TIdStackBSD stack;
    errno = EHOSTUNREACH;
    EXPECT_EQ(stack.WSGetLastError(), Id_WSAEHOSTUNREACH);
}

} // namespace
