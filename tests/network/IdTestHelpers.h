// Checks shared by the endpoint's tests.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
using SocketOptionLength = int;
#else
#include <sys/socket.h>
using SocketOptionLength = socklen_t;
#endif

#include "network/IdException.h"
#include "network/IdUDPBase.h"

// The broadcast permission as the socket itself holds it.
inline bool BroadcastOption(TIdUDPBase& endpoint)
{
    int value = 0;
    SocketOptionLength length = sizeof value;
    // Winsock takes the value as bytes, POSIX as anything.
    EXPECT_EQ(::getsockopt(endpoint.Binding().Handle(), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&value),
                           &length),
              0);
    return value != 0;
}

// Runs `operation` and returns the socket error it raised.
template <typename Operation>
EIdSocketError SocketErrorOf(Operation operation)
{
    try {
        operation();
    } catch (const EIdSocketError& error) {
        return error;
    }
    ADD_FAILURE() << "no socket error raised";
    return EIdSocketError(0, "");
}
