// The UDP client: a UDP endpoint with a destination. The updater's main window
// owns one, IdUDPClient1, through which requests go to the chosen board.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "network/IdUDPBase.h"

class TIdUDPClient : public TIdUDPBase {
public:
    explicit TIdUDPClient(QObject* owner = nullptr) : TIdUDPBase(owner) {}

    // Destination of SendBytes: a host name or a dotted IPv4 address.
    std::string Host;
    std::int32_t Port = 0;

    // The address SendBytes sends to, in the form the receive operations give
    // a sender (four decimal numbers joined by ".", no leading zeros), so that
    // an answer can be told from other datagrams by comparing the two. Host is
    // resolved as TIdStack::ResolveAddress says, once per text of Host: a
    // name is looked up again only when Host changes. A failed lookup raises
    // and is tried again at the next call.
    const std::string& HostAddress();

    // Sends `count` bytes as one datagram to HostAddress():Port.
    void SendBytes(const void* buffer, std::int32_t count);

private:
    // The text of Host that resolvedAddress_ was found for.
    std::optional<std::string> resolvedHost_;
    std::string resolvedAddress_;
    TIdIPv4Address resolved_{};  // the same, parsed once for every send
};
