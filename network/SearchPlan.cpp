#include "network/SearchPlan.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr int AddressBits = 32;
constexpr int BitsPerByte = 8;
constexpr TIdIPv4Address LimitedBroadcast = {255, 255, 255, 255};
const std::string DefaultRoute = "the default route";
const std::string RangeExample = "192.168.1.0/24";

std::optional<int> PrefixLength(const std::string& text)
{
    int length = -1;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, length);
    if (text.empty() || failure != std::errc() || stop != end || length < 0 || length > AddressBits)
        return std::nullopt;
    return length;
}

std::string Place(const std::string& where, const TIdIPv4Address& broadcast)
{
    return where + " (" + TIdStack::AddressToText(broadcast) + ")";
}

bool Searchable(const TNetworkInterface& interface)
{
    return interface.up && interface.canBroadcast && !interface.loopback;
}

bool HasBroadcast(const TNetworkInterface& interface)
{
    return std::any_of(interface.addresses.begin(), interface.addresses.end(),
                       [](const TInterfaceAddress& address) { return address.broadcast.has_value(); });
}

const TNetworkInterface* Named(const TLocalNetwork& network, const std::string& name)
{
    const auto found = std::find_if(network.interfaces.begin(), network.interfaces.end(),
                                    [&](const TNetworkInterface& interface) { return interface.name == name; });
    return found == network.interfaces.end() ? nullptr : &*found;
}

const TNetworkInterface* Holding(const TLocalNetwork& network, const TIdIPv4Address& address)
{
    for (const TNetworkInterface& interface : network.interfaces)
        for (const TInterfaceAddress& own : interface.addresses)
            if (own.address == address)
                return &interface;
    return nullptr;
}

// Two addresses of one network share its broadcast address: it is sent to once.
void AddBroadcasts(const TNetworkInterface& interface, TSearchPlan& plan)
{
    for (const TInterfaceAddress& address : interface.addresses) {
        if (!address.broadcast)
            continue;
        const auto& sent = plan.broadcasts;
        if (std::find(sent.begin(), sent.end(), *address.broadcast) != sent.end())
            continue;
        plan.broadcasts.push_back(*address.broadcast);
        plan.places.push_back(Place(interface.name, *address.broadcast));
    }
}

std::string InterfaceProblem(const TNetworkInterface* interface, const std::string& name)
{
    if (interface == nullptr)
        return "no network interface is named \"" + name + "\"";
    if (!interface->up)
        return "network interface " + name + " is down";
    if (!Searchable(*interface) || !HasBroadcast(*interface))
        return "network interface " + name + " has no IPv4 broadcast address";
    return {};
}

} // namespace

std::uint32_t AddressNumber(const TIdIPv4Address& address)
{
    std::uint32_t number = 0;
    for (const std::uint8_t byte : address)
        number = number << BitsPerByte | byte;
    return number;
}

TIdIPv4Address AddressOfNumber(std::uint32_t number)
{
    TIdIPv4Address address{};
    for (auto byte = address.rbegin(); byte != address.rend(); ++byte, number >>= BitsPerByte)
        *byte = static_cast<std::uint8_t>(number);
    return address;
}

std::optional<TAddressRange> ParseAddressRange(const std::string& text, std::string& error)
{
    const std::size_t slash = text.find('/');
    const std::optional<TIdIPv4Address> address = TIdStack::ParseDotted(text.substr(0, slash));
    const std::optional<int> prefix = slash == std::string::npos ? AddressBits : PrefixLength(text.substr(slash + 1));
    if (!address || !prefix) {
        error = "\"" + text + "\" is not an address range such as " + RangeExample;
        return std::nullopt;
    }
    const int hostBits = AddressBits - *prefix;
    const std::uint64_t size = std::uint64_t{1} << hostBits;
    if (size > MaxRangeAddresses) {
        error = text + " holds " + std::to_string(size) + " addresses; a range may hold at most " +
                std::to_string(MaxRangeAddresses);
        return std::nullopt;
    }
    const std::uint32_t network = AddressNumber(*address) & ~static_cast<std::uint32_t>(size - 1);
    TAddressRange range;
    range.text = TIdStack::AddressToText(AddressOfNumber(network)) + "/" + std::to_string(*prefix);
    // Only a network of more than two addresses has a network and a broadcast address of its own.
    const bool hasOwnAddresses = size > 2;
    range.first = hasOwnAddresses ? network + 1 : network;
    range.count = static_cast<std::uint32_t>(hasOwnAddresses ? size - 2 : size);
    return range;
}

TSearchPlan PlanEveryNetwork(const TLocalNetwork& network)
{
    const TNetworkInterface* routed =
        network.defaultRouteSource ? Holding(network, *network.defaultRouteSource) : nullptr;
    TSearchPlan plan;
    plan.broadcasts.push_back(LimitedBroadcast);
    plan.places.push_back(Place(routed != nullptr ? routed->name : DefaultRoute, LimitedBroadcast));
    for (const TNetworkInterface& interface : network.interfaces)
        if (Searchable(interface) && &interface != routed)
            AddBroadcasts(interface, plan);
    return plan;
}

std::optional<TSearchPlan> PlanSearch(const TSearchScope& scope, const TLocalNetwork& network, std::string& error)
{
    if (scope.Everywhere())
        return PlanEveryNetwork(network);
    TSearchPlan plan;
    for (const std::string& name : scope.interfaces) {
        const TNetworkInterface* interface = Named(network, name);
        error = InterfaceProblem(interface, name);
        if (!error.empty())
            return std::nullopt;
        AddBroadcasts(*interface, plan);
    }
    plan.ranges = scope.ranges;
    for (const TAddressRange& range : scope.ranges)
        plan.places.push_back(range.text);
    return plan;
}
