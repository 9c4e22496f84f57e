// The UDP client: a UDP endpoint with a destination. The updater's main window
// owns one, IdUDPClient1, through which requests go to the chosen board.
#pragma once

#include <cstdint>
#include <string>

#include "network/IdUDPBase.h"

class TIdUDPClient : public TIdUDPBase {
public:
    explicit TIdUDPClient(QObject* owner = nullptr) : TIdUDPBase(owner) {}

    // Destination of SendBytes: a host name or a dotted IPv4 address.
    std::string Host;
    std::int32_t Port = 0;

    // Sends `count` bytes as one datagram to Host:Port.
    void SendBytes(const void* buffer, std::int32_t count) { SendBuffer(Host, Port, buffer, count); }
};
