#include "tests/support/UdpPeer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

namespace {

constexpr std::size_t LargestDatagram = 65536;
constexpr WORD WinsockVersion = MAKEWORD(2, 2);
constexpr long MicrosecondsPerMillisecond = 1000;
constexpr long MillisecondsPerSecond = 1000;

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error("UdpPeer: " + what + ": Winsock error " + std::to_string(::WSAGetLastError()));
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

SOCKET ToSocket(int handle)
{
    return static_cast<SOCKET>(handle);
}

// Every peer holds a Winsock session of its own for its life.
int OpenSocket()
{
    WSADATA started{};
    if (::WSAStartup(WinsockVersion, &started) != 0)
        throw std::runtime_error("UdpPeer: Winsock does not start");
    const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (socket == INVALID_SOCKET) {
        const int error = ::WSAGetLastError();
        ::WSACleanup();
        ::WSASetLastError(error);
        Fail("socket");
    }
    // Socket handles have 32 significant bits.
    return static_cast<int>(socket);
}

} // namespace

UdpPeer::UdpPeer(const std::string& address, std::uint16_t port) : socket_(OpenSocket())
{
    sockaddr_in local = SocketAddress(address, port);
    int length = sizeof local;
    if (::bind(ToSocket(socket_), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(ToSocket(socket_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(ToSocket(socket_));
        ::WSACleanup();
        ::WSASetLastError(error);
        Fail("bind " + address);
    }
    port_ = ntohs(local.sin_port);
}

UdpPeer::~UdpPeer()
{
    ::closesocket(ToSocket(socket_));
    ::WSACleanup();
}

void UdpPeer::SendTo(const std::string& address, std::uint16_t port, const std::string& bytes)
{
    const sockaddr_in to = SocketAddress(address, port);
    if (::sendto(ToSocket(socket_), bytes.data(), static_cast<int>(bytes.size()), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR)
        Fail("sendto " + address);
}

std::optional<Datagram> UdpPeer::Receive(int limitMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ToSocket(socket_), &readable);
    timeval limit{limitMs / MillisecondsPerSecond, limitMs % MillisecondsPerSecond * MicrosecondsPerMillisecond};
    const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
    if (ready == SOCKET_ERROR)
        Fail("select");
    if (ready == 0)
        return std::nullopt;
    std::string bytes(LargestDatagram, '\0');
    sockaddr_in from{};
    int length = sizeof from;
    const int received = ::recvfrom(ToSocket(socket_), bytes.data(), static_cast<int>(bytes.size()), 0,
                                    reinterpret_cast<sockaddr*>(&from), &length);
    if (received == SOCKET_ERROR)
        Fail("recvfrom");
    bytes.resize(static_cast<std::size_t>(received));
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    return Datagram{bytes, address, ntohs(from.sin_port)};
}

bool UdpPeer::SendsFromItsAddress()
{
    // Wine's system library carries its version; Windows' does not.
    const HMODULE system = ::GetModuleHandleW(L"ntdll.dll");
    return system == nullptr || ::GetProcAddress(system, "wine_get_version") == nullptr;
}
