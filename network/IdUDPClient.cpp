#include "network/IdUDPClient.h"

const std::string& TIdUDPClient::HostAddress()
{
    if (resolvedHost_ != Host) {
        // ResolveAddress gives a valid dotted address or raises.
        const TIdIPv4Address address = TIdStack::ParseDotted(Stack().ResolveAddress(Host)).value();
        resolvedAddress_ = TIdStack::AddressToText(address);
        resolved_ = address;
        resolvedHost_ = Host;
    }
    return resolvedAddress_;
}

void TIdUDPClient::SendBytes(const void* buffer, std::int32_t count)
{
    // A buffer that cannot be sent is refused before any lookup, as by every send.
    TIdSocketHandle::CheckBuffer(buffer, count);
    // The lookup comes before the socket: a host that cannot be found
    // leaves the endpoint as it was.
    HostAddress();
    Binding().SendTo(resolved_, Port, buffer, count);
}
