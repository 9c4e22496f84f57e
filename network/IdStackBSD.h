// The socket stack on BSD sockets (POSIX). Sockets need no start-up here, so
// the stack has no library to load and no start-up that can fail.
#pragma once

#include "network/IdStack.h"

class TIdStackBSD final : public TIdStack {
public:
    // The socket error number for a system error code (errno): the codes with
    // a counterpart in the socket error table map onto it (EPERM, as a
    // refusal, onto Id_WSAEACCES; EPIPE, a send after shutdown, onto
    // Id_WSAESHUTDOWN); any other code is kept as it is, below the table, so
    // that its message has an empty text line but still names the cause.
    static std::int32_t TranslateSystemError(int code);
    // The resolver number for a getaddrinfo() result (EAI_*).
    static std::int32_t TranslateResolverError(int code);

    std::int32_t WSGetLastError() const override;
    TIdStackSocketHandle WSSocket() override;
    int WSSetBroadcast(TIdStackSocketHandle socket, bool enabled) override;
    long WSSendTo(TIdStackSocketHandle socket, const void* data, std::size_t length,
                  const TIdIPv4Address& address, std::uint16_t port) override;
    long WSRecvFrom(TIdStackSocketHandle socket, void* buffer, std::size_t size,
                    TIdIPv4Address& sender, std::uint16_t& senderPort, bool wait) override;
    int WSWaitReadable(TIdStackSocketHandle socket, std::int32_t timeoutMs, std::span<const int> wakeOn) override;
    int WSGetSockName(TIdStackSocketHandle socket, TIdIPv4Address& address, std::uint16_t& port) override;
    void WSCloseSocket(TIdStackSocketHandle socket) override;
    std::int32_t WSLookupHost(const std::string& name, TIdIPv4Address& address) override;
};
