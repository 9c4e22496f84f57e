#include "network/IdUDPBase.h"

#include <algorithm>
#include <limits>

#include "network/IdException.h"

namespace {

constexpr const char* BroadcastAddress = "255.255.255.255";

} // namespace

TIdUDPBase::TIdUDPBase(QObject* owner) : TIdComponent(owner)
{
}

TIdUDPBase::~TIdUDPBase()
{
    TIdUDPBase::CloseBinding();
}

bool TIdUDPBase::Active() const
{
    return binding_ && binding_->HandleAllocated();
}

void TIdUDPBase::SetActive(bool active)
{
    if (active)
        Binding();
    else
        CloseBinding();
}

void TIdUDPBase::SetBroadcastEnabled(bool enabled)
{
    broadcastEnabled_ = enabled;
    if (Active())
        BroadcastEnabledChanged();
}

TIdSocketHandle& TIdUDPBase::Binding()
{
    if (!binding_)
        binding_ = std::make_unique<TIdSocketHandle>(Stack());
    if (!binding_->HandleAllocated()) {
        binding_->AllocateSocket();
        BroadcastEnabledChanged();
    }
    return *binding_;
}

void TIdUDPBase::CloseBinding()
{
    binding_.reset();
}

void TIdUDPBase::BroadcastEnabledChanged()
{
    binding_->SetBroadcast(broadcastEnabled_);
}

void TIdUDPBase::SendTextTo(const std::string& host, std::int32_t port, const std::string& text)
{
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw EIdPackageSizeTooBig();
    SendBuffer(host, port, text.data(), static_cast<std::int32_t>(text.size()));
}

void TIdUDPBase::BroadcastText(const std::string& text, std::int32_t port)
{
    BroadcastTextTo(BroadcastAddress, port, text);
}

void TIdUDPBase::BroadcastTextTo(const std::string& host, std::int32_t port, const std::string& text)
{
    Binding().SetBroadcast(true);
    try {
        SendTextTo(host, port, text);
    } catch (...) {
        BroadcastEnabledChanged();
        throw;
    }
    BroadcastEnabledChanged();
}

std::int32_t TIdUDPBase::ReceiveBytes(void* buffer, std::int32_t size, std::int32_t timeout)
{
    std::string peerIP;
    std::int32_t peerPort = 0;
    return ReceiveBuffer(buffer, size, peerIP, peerPort, timeout);
}

std::string TIdUDPBase::ReceiveTextFrom(std::string& peerIP, std::int32_t& peerPort, std::int32_t timeout)
{
    // A negative BufferSize is refused by ReceiveBuffer.
    std::string text(static_cast<std::size_t>(std::max(BufferSize, 0)), '\0');
    text.resize(static_cast<std::size_t>(ReceiveBuffer(text.data(), BufferSize, peerIP, peerPort, timeout)));
    return text;
}

void TIdUDPBase::SendBuffer(const std::string& host, std::int32_t port, const void* data, std::int32_t count)
{
    TIdSocketHandle::CheckBuffer(data, count);
    const std::string ip = Stack().ResolveAddress(host);
    Binding().SendTo(ip, port, data, count);
}

TIdDatagram TIdUDPBase::ReceiveDatagram(void* buffer, std::int32_t size, std::int32_t timeout)
{
    TIdSocketHandle::CheckBuffer(buffer, size);
    if (timeout == IdTimeoutDefault)
        timeout = ReceiveTimeout;
    if (timeout < 0 && timeout != IdTimeoutInfinite)
        TIdStack::RaiseSocketError(Id_WSAEINVAL);
    TIdSocketHandle& socket = Binding();
    TIdDatagram datagram;
    if (!socket.Readable(timeout))
        return datagram;
    datagram.TimedOut = false;
    datagram.Length = socket.RecvFrom(buffer, size, datagram.PeerIP, datagram.PeerPort);
    return datagram;
}

TIdDatagram TIdUDPBase::TakeDatagram(void* buffer, std::int32_t size)
{
    TIdSocketHandle::CheckBuffer(buffer, size);
    TIdDatagram datagram;
    const std::optional<std::int32_t> length = Binding().TryRecvFrom(buffer, size, datagram.PeerIP, datagram.PeerPort);
    if (length) {
        datagram.TimedOut = false;
        datagram.Length = *length;
    }
    return datagram;
}

std::int32_t TIdUDPBase::ReceiveBuffer(void* buffer, std::int32_t size, std::string& peerIP,
                                       std::int32_t& peerPort, std::int32_t timeout)
{
    const TIdDatagram datagram = ReceiveDatagram(buffer, size, timeout);
    peerIP = datagram.PeerIP;
    peerPort = datagram.PeerPort;
    return UsableLength(datagram, size);
}

std::int32_t TIdUDPBase::UsableLength(const TIdDatagram& datagram, std::int32_t size)
{
    if (datagram.TimedOut)
        return 0;
    // The part that did not fit is lost: the datagram is no answer at all.
    if (datagram.Length > size)
        TIdStack::RaiseSocketError(Id_WSAEMSGSIZE);
    if (datagram.Length == 0)
        throw EIdUDPReceiveErrorZeroBytes();
    return datagram.Length;
}
