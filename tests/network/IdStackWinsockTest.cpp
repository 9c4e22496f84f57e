// The stack on Winsock: its error numbers are the system's own.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <memory>

#include "network/IdStackWinsock.h"

namespace {

TEST(StackWinsock, TheTablesNumbersAreWinsocks)
{
    EXPECT_EQ(Id_WSAEINTR, WSAEINTR);
    EXPECT_EQ(Id_WSAEACCES, WSAEACCES);
    EXPECT_EQ(Id_WSAEWOULDBLOCK, WSAEWOULDBLOCK);
    EXPECT_EQ(Id_WSAEMSGSIZE, WSAEMSGSIZE);
    EXPECT_EQ(Id_WSAENETUNREACH, WSAENETUNREACH);
    EXPECT_EQ(Id_WSAENOTEMPTY, WSAENOTEMPTY);
    EXPECT_EQ(Id_WSAHOST_NOT_FOUND, WSAHOST_NOT_FOUND);
    EXPECT_EQ(Id_WSANO_DATA, WSANO_DATA);
}

TEST(StackWinsock, LastErrorIsTheSystemsUnchanged)
{
    TIdStackWinsock stack;
    ::WSASetLastError(WSAEHOSTUNREACH);
    EXPECT_EQ(stack.WSGetLastError(), Id_WSAEHOSTUNREACH);
    ::WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(stack.WSGetLastError(), WSA_NOT_ENOUGH_MEMORY);
}

// A stack is a Winsock session: one ended leaves the others working.
TEST(StackWinsock, StacksStartAndEndTheirOwnSessions)
{
    auto first = std::make_unique<TIdStackWinsock>();
    TIdStackWinsock second;
    first.reset();
    const TIdStackSocketHandle socket = second.WSSocket();
    ASSERT_NE(socket, Id_INVALID_SOCKET);
    second.WSCloseSocket(socket);
}

} // namespace
