// A UDP endpoint: one IPv4 datagram socket, created on first use and never
// bound, so the system gives it its local port at the first send and every
// later operation goes through the same socket (replies to a broadcast and
// to a send arrive on the same port).
//
// Every operation blocks the calling thread until it completes. Every failure
// is raised (IdException.h) and leaves the socket as it was; a receive
// time-out is no failure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "network/IdComponent.h"
#include "network/IdSocketHandle.h"

inline constexpr std::int32_t IdDefaultBufferSize = 8192;

// What a wait for one datagram found (TIdUDPBase::ReceiveDatagram).
struct TIdDatagram {
    // The time-out passed without a datagram; Length, PeerIP and PeerPort are
    // then 0 and empty.
    bool TimedOut = true;
    // The datagram's whole length, 0 for an empty one. The buffer holds its
    // first min(Length, size) bytes; a Length above the buffer's size means
    // the rest was cut off and is lost.
    std::int32_t Length = 0;
    // The sender: four decimal numbers joined by ".", and its port.
    std::string PeerIP;
    std::int32_t PeerPort = 0;
};

class TIdUDPBase : public TIdComponent {
public:
    explicit TIdUDPBase(QObject* owner = nullptr);
    ~TIdUDPBase() override;

    // True while the socket exists. Setting true creates it, setting false
    // closes it.
    virtual bool Active() const;
    void SetActive(bool active);

    // Broadcast permission kept on the socket between operations; a change
    // applies at once when the socket exists.
    bool BroadcastEnabled() const { return broadcastEnabled_; }
    void SetBroadcastEnabled(bool enabled);

    // Size of the text ReceiveTextFrom receives into; a longer datagram is a
    // failure (Id_WSAEMSGSIZE).
    std::int32_t BufferSize = IdDefaultBufferSize;
    // Milliseconds, the time-out of a receive that asks for IdTimeoutDefault;
    // IdTimeoutInfinite waits without limit.
    std::int32_t ReceiveTimeout = IdTimeoutInfinite;

    // The socket, created on first use with the broadcast permission of
    // BroadcastEnabled.
    virtual TIdSocketHandle& Binding();

    // Sends the text's bytes as one datagram to a host (see
    // TIdStack::ResolveAddress) and port.
    void SendTextTo(const std::string& host, std::int32_t port, const std::string& text);
    // Sends the text as one datagram to 255.255.255.255 on `port`, with the
    // broadcast permission on for this one send. The permission goes back to
    // BroadcastEnabled afterwards, also when the send fails.
    void BroadcastText(const std::string& text, std::int32_t port);
    // The same to a host, which may be the broadcast address of a network.
    void BroadcastTextTo(const std::string& host, std::int32_t port, const std::string& text);

    // Waits up to `timeout` ms (or IdTimeoutDefault, IdTimeoutInfinite) for one
    // datagram and copies as much of it as fits into the buffer. Whatever the
    // datagram is (empty, longer than the buffer, from anyone), it is reported
    // and never raised, so that a caller waiting for one sender can drop the
    // others and go on waiting. Raises only for the call itself: a negative
    // size (Id_WSAEINVAL), no buffer for a positive size (Id_WSAEFAULT), any
    // other negative time-out (Id_WSAEINVAL), and a failing socket.
    TIdDatagram ReceiveDatagram(void* buffer, std::int32_t size, std::int32_t timeout = IdTimeoutDefault);
    // The datagram the socket holds, without waiting: TimedOut when it holds
    // none. Raises as ReceiveDatagram does.
    TIdDatagram TakeDatagram(void* buffer, std::int32_t size);
    // ReceiveDatagram that raises for the datagrams no caller can use: returns
    // the length, 0 when the time-out passed. A datagram longer than `size`
    // raises Id_WSAEMSGSIZE and is lost; an empty one raises
    // EIdUDPReceiveErrorZeroBytes. Any other negative time-out raises
    // Id_WSAEINVAL.
    std::int32_t ReceiveBytes(void* buffer, std::int32_t size, std::int32_t timeout = IdTimeoutDefault);
    // The length of a datagram that ReceiveDatagram found with a buffer of
    // `size` bytes, raising as ReceiveBytes does for one no caller can use;
    // 0 when it timed out.
    static std::int32_t UsableLength(const TIdDatagram& datagram, std::int32_t size);
    // The same into a text of BufferSize bytes, with the sender's dotted
    // address and port; on time-out the text and the address are empty and
    // the port is 0.
    std::string ReceiveTextFrom(std::string& peerIP, std::int32_t& peerPort,
                                std::int32_t timeout = IdTimeoutDefault);

protected:
    void SendBuffer(const std::string& host, std::int32_t port, const void* data, std::int32_t count);
    std::int32_t ReceiveBuffer(void* buffer, std::int32_t size, std::string& peerIP, std::int32_t& peerPort,
                               std::int32_t timeout);
    // Closes the socket and frees its handle.
    virtual void CloseBinding();
    // Puts BroadcastEnabled on the existing socket.
    virtual void BroadcastEnabledChanged();

private:
    std::unique_ptr<TIdSocketHandle> binding_;
    bool broadcastEnabled_ = false;
};
