#include "tools/boardsim/DatagramLink.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "tools/boardsim/SystemError.h"

namespace boardsim {

namespace {

constexpr std::size_t DatagramLimit = 65536;
constexpr std::uint32_t LoopbackNet = 0x7F000000;   // 127.0.0.0/8
constexpr std::uint32_t LoopbackMask = 0xFF000000;
constexpr std::uint16_t AnyPort = 0;  // the system picks a free one

in_addr ParseAddress(const std::string& address)
{
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        errno = EINVAL;
        ThrowSystemError("address " + address);
    }
    return parsed;
}

int Bind(in_addr address, std::uint16_t port, bool shared)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        ThrowSystemError("create a UDP socket");
    }
    const int on = 1;
    if (shared && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        ::close(fd);
        ThrowSystemError("share the broadcast port");
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address, text, sizeof text);
        ThrowSystemError(std::string("bind UDP ") + text + ":" + std::to_string(port));
    }
    return fd;
}

std::string Describe(const sockaddr_in& peer)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

bool IsLoopback(in_addr address)
{
    return (ntohl(address.s_addr) & LoopbackMask) == LoopbackNet;
}

void CloseIfOpen(int fd)
{
    if (fd >= 0) {
        ::close(fd);
    }
}

}  // namespace

DatagramLink::DatagramLink(const std::string& address, const FaultOptions& faults)
    : buffer_(DatagramLimit)
{
    const in_addr local = ParseAddress(address);
    try {
        requests_ = Bind(local, RequestPort, false);
        search_ = Bind(local, SearchPort, false);
        if (!IsLoopback(local) && local.s_addr != htonl(INADDR_ANY)) {
            broadcast_ = Bind(in_addr{htonl(INADDR_BROADCAST)}, SearchPort, true);
        }
        if (faults.searchFrom) {
            searchFrom_ = Bind(local, *faults.searchFrom, false);
        }
        if (faults.forgePort) {
            forger_ = Bind(local, AnyPort, false);
        }
    } catch (...) {
        CloseIfOpen(requests_);
        CloseIfOpen(search_);
        CloseIfOpen(broadcast_);
        CloseIfOpen(searchFrom_);
        throw;
    }
}

DatagramLink::~DatagramLink()
{
    CloseIfOpen(requests_);
    CloseIfOpen(search_);
    CloseIfOpen(broadcast_);
    CloseIfOpen(searchFrom_);
    CloseIfOpen(forger_);
}

std::vector<int> DatagramLink::Sockets() const
{
    std::vector<int> sockets{requests_, search_};
    if (broadcast_ >= 0) {
        sockets.push_back(broadcast_);
    }
    return sockets;
}

bool DatagramLink::Receive(int socket, Session& session, Clock::time_point now)
{
    sockaddr_in peer{};
    socklen_t peerSize = sizeof peer;
    ssize_t got = -1;
    do {
        got = ::recvfrom(socket, buffer_.data(), buffer_.size(), 0, reinterpret_cast<sockaddr*>(&peer), &peerSize);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return false;
    }
    if (got < 0) {
        ThrowSystemError("receive a datagram");
    }
    const std::span<const std::uint8_t> datagram(buffer_.data(), static_cast<std::size_t>(got));
    if (socket == requests_) {
        const std::vector<Transmission> answer = session.OnDatagram(datagram);
        // One piece at a time, each from its own socket: the pauses still
        // count from the piece before.
        for (const Transmission& piece : answer) {
            outbox_.Schedule({piece}, now, Destination{piece.forged ? forger_ : requests_, peer});
        }
        return answer.empty();
    }
    if (auto reply = session.OnSearch(datagram, Describe(peer))) {
        const int from = reply->fromPort == SearchPort ? search_ : searchFrom_;
        outbox_.Schedule({Transmission{Milliseconds{0}, reply->bytes}}, now, Destination{from, peer});
    }
    return false;
}

void DatagramLink::Flush(Clock::time_point now)
{
    while (outbox_.HasDue(now)) {
        const auto& entry = outbox_.Front();
        const ssize_t sent = ::sendto(entry.to.socket, entry.bytes.data(), entry.bytes.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&entry.to.to), sizeof entry.to.to);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        // One unreachable peer must not end the board for the others: a datagram
        // that cannot go is lost, as on a real network, and said so.
        if (sent < 0) {
            std::cerr << "boardsim: send a datagram to " << Describe(entry.to.to) << ": "
                      << std::strerror(errno) << std::endl;
        }
        outbox_.Pop();
    }
}

}  // namespace boardsim
