// An IPv4 address and port as the sockets of either system take them. Internal
// to the socket stacks.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstdint>
#include <cstring>

#include "network/IdStack.h"

inline sockaddr_in ToSocketAddress(const TIdIPv4Address& address, std::uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    std::memcpy(&result.sin_addr, address.data(), address.size());
    return result;
}

inline TIdIPv4Address FromSocketAddress(const sockaddr_in& socketAddress, std::uint16_t& port)
{
    TIdIPv4Address address{};
    std::memcpy(address.data(), &socketAddress.sin_addr, address.size());
    port = ntohs(socketAddress.sin_port);
    return address;
}
