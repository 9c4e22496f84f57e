#include "network/LocalNetwork.h"

#include <winsock2.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <QString>

#include <cstring>
#include <system_error>
#include <vector>

#include "network/IdException.h"

namespace {

// The list usually fits; when it grows between two calls, the second call
// says how large it has become.
constexpr ULONG FirstListSize = 16 * 1024;
constexpr int MaxListTries = 3;
constexpr ULONG ListedParts = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
// A network of two addresses or one has no broadcast address (a /31 is a
// point-to-point link of two hosts).
constexpr ULONG LongestPrefixWithBroadcast = 30;

TIdIPv4Address AddressOf(const sockaddr* address)
{
    TIdIPv4Address bytes{};
    const in_addr& ip = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    std::memcpy(bytes.data(), &ip, bytes.size());
    return bytes;
}

TIdIPv4Address BroadcastOf(const TIdIPv4Address& address, ULONG prefixLength)
{
    const std::uint32_t hostBits = ~std::uint32_t{0} >> prefixLength;
    return AddressOfNumber(AddressNumber(address) | hostBits);
}

// Loopback, point-to-point and tunnel interfaces have no broadcast.
bool CanBroadcast(const IP_ADAPTER_ADDRESSES& adapter)
{
    switch (adapter.IfType) {
    case IF_TYPE_SOFTWARE_LOOPBACK:
    case IF_TYPE_PPP:
    case IF_TYPE_TUNNEL:
        return false;
    default:
        return true;
    }
}

[[noreturn]] void CannotList(ULONG error)
{
    throw EIdException("Cannot list the network interfaces: " +
                       std::system_category().message(static_cast<int>(error)));
}

// The adapters with their IPv4 addresses, in a buffer that holds the list.
std::vector<char> ReadAdapterList()
{
    std::vector<char> list(FirstListSize);
    for (int tries = 0; tries < MaxListTries; ++tries) {
        ULONG size = static_cast<ULONG>(list.size());
        const ULONG result = ::GetAdaptersAddresses(
            AF_INET, ListedParts, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(list.data()), &size);
        if (result == ERROR_SUCCESS)
            return list;
        // No adapter with an IPv4 address at all.
        if (result == ERROR_NO_DATA)
            return {};
        if (result != ERROR_BUFFER_OVERFLOW)
            CannotList(result);
        list.resize(size);
    }
    CannotList(ERROR_BUFFER_OVERFLOW);
}

// Operators know an adapter by the name the system shows them ("Ethernet",
// "Wi-Fi"), not by its GUID.
TNetworkInterface InterfaceOf(const IP_ADAPTER_ADDRESSES& adapter)
{
    TNetworkInterface found;
    found.name = QString::fromWCharArray(adapter.FriendlyName).toStdString();
    found.up = adapter.OperStatus == IfOperStatusUp;
    found.loopback = adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    found.canBroadcast = CanBroadcast(adapter);
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter.FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
        if (unicast->Address.lpSockaddr->sa_family != AF_INET)
            continue;
        TInterfaceAddress& address = found.addresses.emplace_back();
        address.address = AddressOf(unicast->Address.lpSockaddr);
        if (found.canBroadcast && unicast->OnLinkPrefixLength <= LongestPrefixWithBroadcast)
            address.broadcast = BroadcastOf(address.address, unicast->OnLinkPrefixLength);
    }
    return found;
}

// The system sends a datagram to 255.255.255.255 out of the interface its
// routes pick for that address; the source is that interface's first address.
std::optional<TIdIPv4Address> BroadcastSource(const IP_ADAPTER_ADDRESSES* adapters,
                                              const std::vector<TNetworkInterface>& interfaces)
{
    DWORD routed = 0;
    if (::GetBestInterface(INADDR_BROADCAST, &routed) != NO_ERROR)
        return std::nullopt;
    auto listed = interfaces.begin();
    for (const IP_ADAPTER_ADDRESSES* adapter = adapters; adapter != nullptr; adapter = adapter->Next, ++listed) {
        if (adapter->IfIndex == routed && !listed->addresses.empty())
            return listed->addresses.front().address;
    }
    return std::nullopt;
}

} // namespace

TLocalNetwork ReadLocalNetwork()
{
    const std::vector<char> list = ReadAdapterList();
    const auto* adapters = list.empty() ? nullptr : reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(list.data());
    TLocalNetwork network;
    for (const IP_ADAPTER_ADDRESSES* adapter = adapters; adapter != nullptr; adapter = adapter->Next)
        network.interfaces.push_back(InterfaceOf(*adapter));
    network.defaultRouteSource = BroadcastSource(adapters, network.interfaces);
    return network;
}
