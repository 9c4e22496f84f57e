// Checks shared by the endpoint's tests.
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>

#include "network/IdException.h"
#include "network/IdUDPBase.h"

// The broadcast permission as the socket itself holds it.
inline bool BroadcastOption(TIdUDPBase& endpoint)
{
    int value = 0;
    socklen_t length = sizeof value;
    EXPECT_EQ(::getsockopt(endpoint.Binding().Handle(), SOL_SOCKET, SO_BROADCAST, &value, &length), 0);
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
