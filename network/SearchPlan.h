// Where a board search sends its message. A datagram to 255.255.255.255
// leaves by the default route's interface only, so the search also goes to
// the broadcast address of every other network the machine is on; boards
// behind a router hear no broadcast at all and are asked one address at a
// time, from ranges the operator names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "network/IdStack.h"

// An address as a number, the first byte of its dotted text the highest, and back.
std::uint32_t AddressNumber(const TIdIPv4Address& address);
TIdIPv4Address AddressOfNumber(std::uint32_t number);

// The hosts of an IPv4 network, asked one by one.
struct TAddressRange {
    std::uint32_t first = 0;  // AddressNumber of the first host
    std::uint32_t count = 0;
    std::string text;         // the network in CIDR form, as the operator is shown it
};

// A range holds at most this many addresses (a /22), so that asking each of
// them stays a matter of milliseconds.
inline constexpr std::uint32_t MaxRangeAddresses = 1024;

// A network in CIDR form ("10.1.2.0/24"; host bits are ignored) or a single
// address. Its hosts leave out the network's own address and its broadcast
// address, which name no host (a /31 and a /32 have none to leave out).
// Nothing, with the reason, for a malformed text or a network of more than
// MaxRangeAddresses addresses.
std::optional<TAddressRange> ParseAddressRange(const std::string& text, std::string& error);

// One IPv4 address of an interface, with the broadcast address of its
// network when the interface can broadcast.
struct TInterfaceAddress {
    TIdIPv4Address address{};
    std::optional<TIdIPv4Address> broadcast;
};

struct TNetworkInterface {
    std::string name;
    bool up = false;
    bool canBroadcast = false;
    bool loopback = false;
    std::vector<TInterfaceAddress> addresses;
};

// The machine's networks as a search sees them.
struct TLocalNetwork {
    std::vector<TNetworkInterface> interfaces;
    // The address a datagram to 255.255.255.255 leaves from; nothing without
    // a default route.
    std::optional<TIdIPv4Address> defaultRouteSource;
};

// What the operator asked to search; nothing asked is every network.
struct TSearchScope {
    std::vector<std::string> interfaces;
    std::vector<TAddressRange> ranges;

    bool Everywhere() const { return interfaces.empty() && ranges.empty(); }
};

struct TSearchPlan {
    std::vector<TIdIPv4Address> broadcasts;  // sent at once, each once
    std::vector<TAddressRange> ranges;       // each host by unicast, paced
    // Where the search looks, one text a place: "eth1 (10.2.0.255)",
    // "10.4.0.0/24".
    std::vector<std::string> places;
};

// 255.255.255.255, and the broadcast addresses of every interface that is up
// and can broadcast, loopback aside, except the default route's interface,
// which the first already reaches.
TSearchPlan PlanEveryNetwork(const TLocalNetwork& network);
// The plan for a scope: every network when it asks for nothing; otherwise the
// broadcast addresses of the named interfaces and the ranges. Nothing, with
// the reason, when a named interface is unknown, down or has no IPv4
// broadcast address.
std::optional<TSearchPlan> PlanSearch(const TSearchScope& scope, const TLocalNetwork& network, std::string& error);
