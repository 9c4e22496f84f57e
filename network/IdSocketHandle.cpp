#include "network/IdSocketHandle.h"

#include "network/IdException.h"

namespace {

constexpr std::int32_t LargestPort = 65535;

} // namespace

TIdSocketHandle::~TIdSocketHandle()
{
    CloseSocket();
}

void TIdSocketHandle::CheckBuffer(const void* buffer, std::int32_t size)
{
    if (size < 0)
        TIdStack::RaiseSocketError(Id_WSAEINVAL);
    if (buffer == nullptr && size > 0)
        TIdStack::RaiseSocketError(Id_WSAEFAULT);
}

void TIdSocketHandle::AllocateSocket()
{
    CloseSocket();
    const TIdStackSocketHandle socket = stack_.WSSocket();
    if (socket == Id_INVALID_SOCKET)
        throw EIdInvalidSocket();
    handle_ = socket;
}

void TIdSocketHandle::CloseSocket()
{
    if (!HandleAllocated())
        return;
    const TIdStackSocketHandle socket = handle_;
    handle_ = Id_INVALID_SOCKET;
    stack_.WSCloseSocket(socket);
    ip_.clear();
    port_ = 0;
    peerIP_.clear();
    peerPort_ = 0;
}

void TIdSocketHandle::SetBroadcast(bool enabled)
{
    stack_.CheckForSocketError(stack_.WSSetBroadcast(handle_, enabled));
}

void TIdSocketHandle::SendTo(const std::string& ip, std::int32_t port, const void* data, std::int32_t count)
{
    CheckBuffer(data, count);
    const auto address = TIdStack::ParseDotted(ip);
    if (!address)
        TIdStack::RaiseSocketError(Id_WSAEINVAL);
    SendTo(*address, port, data, count);
}

void TIdSocketHandle::SendTo(const TIdIPv4Address& address, std::int32_t port, const void* data, std::int32_t count)
{
    CheckBuffer(data, count);
    if (port < 0 || port > LargestPort)
        TIdStack::RaiseSocketError(Id_WSAEINVAL);
    const long sent = stack_.WSSendTo(handle_, data, static_cast<std::size_t>(count), address,
                                      static_cast<std::uint16_t>(port));
    if (sent == Id_SOCKET_ERROR) {
        const std::int32_t error = stack_.WSGetLastError();
        if (error == Id_WSAEMSGSIZE)
            throw EIdPackageSizeTooBig();
        TIdStack::RaiseSocketError(error);
    }
    if (sent != count)
        throw EIdNotAllBytesSent();
    UpdateLocalAddress();
}

std::int32_t TIdSocketHandle::RecvFrom(void* buffer, std::int32_t size, std::string& peerIP, std::int32_t& peerPort)
{
    return Receive(buffer, size, peerIP, peerPort, true).value_or(0);
}

std::optional<std::int32_t> TIdSocketHandle::TryRecvFrom(void* buffer, std::int32_t size, std::string& peerIP,
                                                         std::int32_t& peerPort)
{
    return Receive(buffer, size, peerIP, peerPort, false);
}

std::optional<std::int32_t> TIdSocketHandle::Receive(void* buffer, std::int32_t size, std::string& peerIP,
                                                     std::int32_t& peerPort, bool wait)
{
    CheckBuffer(buffer, size);
    TIdIPv4Address sender{};
    std::uint16_t senderPort = 0;
    const long received =
        stack_.WSRecvFrom(handle_, buffer, static_cast<std::size_t>(size), sender, senderPort, wait);
    if (received == Id_SOCKET_ERROR && !wait && stack_.WSGetLastError() == Id_WSAEWOULDBLOCK)
        return std::nullopt;
    stack_.CheckForSocketError(received);
    peerIP_ = TIdStack::AddressToText(sender);
    peerPort_ = senderPort;
    peerIP = peerIP_;
    peerPort = peerPort_;
    return static_cast<std::int32_t>(received);
}

bool TIdSocketHandle::Readable(std::int32_t timeoutMs, std::span<const int> wakeOn)
{
    if (!HandleAllocated())
        throw EIdConnClosedGracefully();
    const int ready = stack_.WSWaitReadable(handle_, timeoutMs, wakeOn);
    stack_.CheckForSocketError(ready);
    return ready > 0;
}

// The system gives an unbound socket its local address at the first send;
// from then on it keeps it.
void TIdSocketHandle::UpdateLocalAddress()
{
    if (port_ != 0)
        return;
    TIdIPv4Address local{};
    std::uint16_t localPort = 0;
    if (stack_.WSGetSockName(handle_, local, localPort) == Id_SOCKET_ERROR)
        return;
    ip_ = TIdStack::AddressToText(local);
    port_ = localPort;
}
