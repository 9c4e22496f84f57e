// The socket stack on Winsock. The stack's life is the Winsock session's:
// the first socket component starts it, the last one ends it. Error numbers
// are Winsock's own, the table's numbers, so nothing is translated.
#pragma once

#include "network/IdStack.h"

class TIdStackWinsock final : public TIdStack {
public:
    // Raises EIdStackInitializationFailed when Winsock does not start.
    TIdStackWinsock();
    ~TIdStackWinsock() override;

    TIdStackWinsock(const TIdStackWinsock&) = delete;
    TIdStackWinsock& operator=(const TIdStackWinsock&) = delete;

    std::int32_t WSGetLastError() const override;
    TIdStackSocketHandle WSSocket() override;
    int WSSetBroadcast(TIdStackSocketHandle socket, bool enabled) override;
    long WSSendTo(TIdStackSocketHandle socket, const void* data, std::size_t length,
                  const TIdIPv4Address& address, std::uint16_t port) override;
    long WSRecvFrom(TIdStackSocketHandle socket, void* buffer, std::size_t size,
                    TIdIPv4Address& sender, std::uint16_t& senderPort, bool wait) override;
    // The `wakeOn` descriptors are sockets too: Winsock waits on nothing else.
    int WSWaitReadable(TIdStackSocketHandle socket, std::int32_t timeoutMs, std::span<const int> wakeOn) override;
    int WSGetSockName(TIdStackSocketHandle socket, TIdIPv4Address& address, std::uint16_t& port) override;
    void WSCloseSocket(TIdStackSocketHandle socket) override;
    std::int32_t WSLookupHost(const std::string& name, TIdIPv4Address& address) override;
};
