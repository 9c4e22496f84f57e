// One socket of the socket layer: its handle, whether it is allocated, and
// the addresses it last used. Every failure is raised (IdException.h); the
// handle is unchanged by a failed call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "network/IdStack.h"

class TIdSocketHandle {
public:
    // The stack must outlive the handle.
    explicit TIdSocketHandle(TIdStack& stack) : stack_(stack) {}
    ~TIdSocketHandle();

    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    // Raises the socket error for a buffer that cannot be what its size says:
    // a negative size (Id_WSAEINVAL), or no buffer for a positive size
    // (Id_WSAEFAULT).
    static void CheckBuffer(const void* buffer, std::int32_t size);

    // Creates a new IPv4 datagram socket, closing any earlier one; raises
    // EIdInvalidSocket when the system refuses. Nothing is bound.
    void AllocateSocket();
    // Closes the socket, if any, and clears the addresses.
    void CloseSocket();
    bool HandleAllocated() const { return handle_ != Id_INVALID_SOCKET; }
    TIdStackSocketHandle Handle() const { return handle_; }

    void SetBroadcast(bool enabled);

    // Sends `count` bytes as one datagram to a dotted IPv4 address and a port
    // from 0 to 65535. A datagram the system refuses as too long raises
    // EIdPackageSizeTooBig; a partial send EIdNotAllBytesSent.
    void SendTo(const std::string& ip, std::int32_t port, const void* data, std::int32_t count);
    // The same to an address already parsed.
    void SendTo(const TIdIPv4Address& address, std::int32_t port, const void* data, std::int32_t count);
    // Receives one datagram, copying at most `size` bytes of it, and returns
    // its whole length: more than `size` when it was cut, the rest being lost.
    std::int32_t RecvFrom(void* buffer, std::int32_t size, std::string& peerIP, std::int32_t& peerPort);
    // The same without waiting: none when the socket holds no datagram.
    std::optional<std::int32_t> TryRecvFrom(void* buffer, std::int32_t size, std::string& peerIP,
                                            std::int32_t& peerPort);
    // Waits up to `timeoutMs` (IdTimeoutInfinite: no limit) for a datagram,
    // or until one of the `wakeOn` descriptors (at most three) turns
    // readable; raises EIdConnClosedGracefully when no socket is allocated.
    bool Readable(std::int32_t timeoutMs, std::span<const int> wakeOn = {});

    // The local address and port, known once the system has given them (at
    // the first send), and the sender of the last datagram received.
    const std::string& IP() const { return ip_; }
    std::int32_t Port() const { return port_; }
    const std::string& PeerIP() const { return peerIP_; }
    std::int32_t PeerPort() const { return peerPort_; }

private:
    void UpdateLocalAddress();
    std::optional<std::int32_t> Receive(void* buffer, std::int32_t size, std::string& peerIP, std::int32_t& peerPort,
                                        bool wait);

    TIdStack& stack_;
    TIdStackSocketHandle handle_ = Id_INVALID_SOCKET;
    std::string ip_;
    std::int32_t port_ = 0;
    std::string peerIP_;
    std::int32_t peerPort_ = 0;
};
