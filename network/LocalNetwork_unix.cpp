#include "network/LocalNetwork.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "network/IdException.h"

namespace {

// Connecting a datagram socket sends nothing, so any port does.
constexpr std::uint16_t ProbePort = 9;

TIdIPv4Address AddressOf(const sockaddr* address)
{
    TIdIPv4Address bytes{};
    const in_addr& ip = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    std::memcpy(bytes.data(), &ip, bytes.size());
    return bytes;
}

bool IsIPv4(const sockaddr* address)
{
    return address != nullptr && address->sa_family == AF_INET;
}

TNetworkInterface& InterfaceOf(std::vector<TNetworkInterface>& interfaces, const ifaddrs& entry)
{
    const auto found = std::find_if(interfaces.begin(), interfaces.end(),
                                    [&](const TNetworkInterface& known) { return known.name == entry.ifa_name; });
    if (found != interfaces.end())
        return *found;
    TNetworkInterface& added = interfaces.emplace_back();
    added.name = entry.ifa_name;
    added.up = (entry.ifa_flags & IFF_UP) != 0;
    added.canBroadcast = (entry.ifa_flags & IFF_BROADCAST) != 0;
    added.loopback = (entry.ifa_flags & IFF_LOOPBACK) != 0;
    return added;
}

std::vector<TNetworkInterface> ReadInterfaces()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        throw EIdException(std::string("Cannot list the network interfaces: ") + std::strerror(errno));
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owned(list, ::freeifaddrs);
    // Every interface has an entry of its own (AF_PACKET) besides those of
    // its addresses, so one without an IPv4 address is listed too.
    std::vector<TNetworkInterface> interfaces;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        TNetworkInterface& interface = InterfaceOf(interfaces, *entry);
        if (!IsIPv4(entry->ifa_addr))
            continue;
        TInterfaceAddress& address = interface.addresses.emplace_back();
        address.address = AddressOf(entry->ifa_addr);
        // An address given without a broadcast address is listed with itself
        // in its place: its network then has none the system would send to.
        if (interface.canBroadcast && IsIPv4(entry->ifa_broadaddr) && AddressOf(entry->ifa_broadaddr) != address.address)
            address.broadcast = AddressOf(entry->ifa_broadaddr);
    }
    return interfaces;
}

// The system picks the source of a datagram to 255.255.255.255 as it would
// send it: by the default route.
std::optional<TIdIPv4Address> DefaultRouteSource()
{
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return std::nullopt;
    const int on = 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    to.sin_port = htons(ProbePort);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool found = ::setsockopt(probe, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 &&
                       ::connect(probe, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                       ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    ::close(probe);
    if (!found)
        return std::nullopt;
    return AddressOf(reinterpret_cast<const sockaddr*>(&local));
}

} // namespace

TLocalNetwork ReadLocalNetwork()
{
    return {ReadInterfaces(), DefaultRouteSource()};
}
