#include "tests/support/UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t LargestDatagram = 65536;

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error("UdpPeer: " + what + ": " + std::strerror(errno));
}

sockaddr_in SocketAddress(const std::string& address, std::uint16_t port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1)
        throw std::runtime_error("UdpPeer: not an address: " + address);
    return result;
}

} // namespace

UdpPeer::UdpPeer(const std::string& address, std::uint16_t port)
    : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    if (socket_ < 0)
        Fail("socket");
    sockaddr_in local = SocketAddress(address, port);
    socklen_t length = sizeof local;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = errno;
        ::close(socket_);
        errno = error;
        Fail("bind " + address);
    }
    port_ = ntohs(local.sin_port);
}

UdpPeer::~UdpPeer()
{
    ::close(socket_);
}

void UdpPeer::SendTo(const std::string& address, std::uint16_t port, const std::string& bytes)
{
    const sockaddr_in to = SocketAddress(address, port);
    if (::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        Fail("sendto " + address);
}

std::optional<Datagram> UdpPeer::Receive(int limitMs)
{
    pollfd entry{socket_, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, limitMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        Fail("poll");
    if (ready == 0)
        return std::nullopt;
    std::string bytes(LargestDatagram, '\0');
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t received =
        ::recvfrom(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (received < 0)
        Fail("recvfrom");
    bytes.resize(static_cast<std::size_t>(received));
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    return Datagram{bytes, address, ntohs(from.sin_port)};
}

bool UdpPeer::SendsFromItsAddress()
{
    return true;
}
