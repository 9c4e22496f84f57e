#include "transfer/board/BoardIdentity.h"

#include <memory>

#include "network/IdException.h"
#include "network/LocalNetwork.h"

namespace {

constexpr const char* SerialKeyPrefix = "serial:";
constexpr const char* NetworkKeyPrefix = "udp:";
constexpr const char* UsbBoardName = "usb";

constexpr std::uint32_t ThisNetworkMask = 0xFF000000;     // 0.0.0.0/8: "this host" on its network
constexpr std::uint32_t ThisNetwork = 0x00000000;
constexpr std::uint32_t MulticastMask = 0xF0000000;       // 224.0.0.0/4
constexpr std::uint32_t Multicast = 0xE0000000;
constexpr std::uint32_t LimitedBroadcast = 0xFFFFFFFF;    // 255.255.255.255
constexpr std::uint32_t LoopbackBroadcast = 0x7FFFFFFF;   // 127.255.255.255

bool IsLocalBroadcast(std::uint32_t number, const TLocalNetwork& network)
{
    for (const TNetworkInterface& face : network.interfaces)
        for (const TInterfaceAddress& address : face.addresses)
            if (address.broadcast && AddressNumber(*address.broadcast) == number)
                return true;
    return false;
}

// Why the address reaches no single board, or empty when it names a host.
std::string WhyNotABoard(const TIdIPv4Address& address, const TLocalNetwork& network)
{
    const std::uint32_t number = AddressNumber(address);
    if ((number & ThisNetworkMask) == ThisNetwork)
        return "it names this machine's own network, not a board";
    if ((number & MulticastMask) == Multicast)
        return "it is a multicast address: every board listening to it would take the update";
    if (number == LimitedBroadcast || number == LoopbackBroadcast || IsLocalBroadcast(number, network))
        return "it is a broadcast address: every board on that network would take the update";
    return {};
}

} // namespace

TLocalNetwork MachineNetworks()
{
    try {
        return ReadLocalNetwork();
    } catch (const EIdException&) {
        return {};
    }
}

TBoardIdentity SerialBoardIdentity(const std::string& port)
{
    const std::string name = SerialDeviceName(port);
    return {SerialKeyPrefix + name, name, port, {}};
}

TBoardIdentity NetworkBoardIdentity(const std::string& spelling, const TIdIPv4Address& address,
                                    const TLocalNetwork& network)
{
    const std::string name = TIdStack::AddressToText(address);
    if (const std::string why = WhyNotABoard(address, network); !why.empty())
        throw ENotABoard((spelling == name ? name : spelling + " (" + name + ")") + " is not a board's address: " + why);
    return {NetworkKeyPrefix + name, name, spelling, name};
}

TBoardIdentity NetworkBoardIdentity(const std::string& host, const TLocalNetwork& network)
{
    const std::unique_ptr<TIdStack> stack = CreatePlatformStack();
    // ResolveAddress keeps a dotted text as it was spelled; the socket sends
    // to the number it parses to, and so does the key.
    const TIdIPv4Address address = TIdStack::ParseDotted(stack->ResolveAddress(host)).value();
    return NetworkBoardIdentity(host, address, network);
}

TBoardIdentity NetworkBoardIdentity(const std::string& host)
{
    return NetworkBoardIdentity(host, MachineNetworks());
}

TBoardIdentity UsbBoardIdentity()
{
    return {UsbBoardName, UsbBoardName, UsbBoardName, {}};
}
