#include "network/IdStackWinsock.h"

#include <winsock2.h>
#include <mswsock.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <vector>

#include "network/IdException.h"
#include "network/SocketAddress.h"

namespace {

// Version 2.2 brings everything used here (getaddrinfo, WSAIoctl, WSASocket).
constexpr WORD WinsockVersion = MAKEWORD(2, 2);
// The socket and the sockets that may wake a wait on it.
constexpr std::size_t MaxWaitSockets = 4;
constexpr int BroadcastOn = -1; // all bits set
constexpr int BroadcastOff = 0;
constexpr long MicrosecondsPerMillisecond = 1000;
constexpr long MillisecondsPerSecond = 1000;
// An IPv4 datagram's whole length bounds its payload: a buffer this large
// takes any datagram whole.
constexpr std::size_t LargestDatagram = 65535;

// A socket handle has 32 significant bits: the conversions lose nothing, and
// INVALID_SOCKET and Id_INVALID_SOCKET become each other.
SOCKET ToSocket(TIdStackSocketHandle handle)
{
    return static_cast<SOCKET>(handle);
}

TIdStackSocketHandle FromSocket(SOCKET socket)
{
    return static_cast<TIdStackSocketHandle>(socket);
}

timeval ToTimeval(int milliseconds)
{
    return {milliseconds / MillisecondsPerSecond, milliseconds % MillisecondsPerSecond * MicrosecondsPerMillisecond};
}

// Fails with the error of the first call and closes the socket.
SOCKET CloseFailed(SOCKET socket)
{
    const int error = ::WSAGetLastError();
    ::closesocket(socket);
    ::WSASetLastError(error);
    return INVALID_SOCKET;
}

// Without this, a datagram sent to a port where nothing listens makes the
// next receive fail with WSAECONNRESET once the peer's "port unreachable"
// comes back. A board that is off is then no time-out but an error, and
// unlike anywhere else one that ends the wait for the other boards' answers.
SOCKET IgnorePortUnreachable(SOCKET socket)
{
    BOOL report = FALSE;
    DWORD unused = 0;
    if (::WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused, nullptr, nullptr) != 0)
        return CloseFailed(socket);
    return socket;
}

// The scratch a datagram is received into when the caller's buffer may be
// too short: Winsock then tells neither the datagram's length nor hands over
// what fits without an error. One per thread, since every thread may receive.
std::vector<char>& WholeDatagram()
{
    thread_local std::vector<char> scratch(LargestDatagram);
    return scratch;
}

} // namespace

TIdStackWinsock::TIdStackWinsock()
{
    WSADATA started{};
    if (::WSAStartup(WinsockVersion, &started) != 0)
        throw EIdStackInitializationFailed();
}

TIdStackWinsock::~TIdStackWinsock()
{
    ::WSACleanup();
}

std::int32_t TIdStackWinsock::WSGetLastError() const
{
    return ::WSAGetLastError();
}

TIdStackSocketHandle TIdStackWinsock::WSSocket()
{
    // Not inherited: programs the updater starts must not hold the socket.
    const SOCKET socket = ::WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET)
        return Id_INVALID_SOCKET;
    return FromSocket(IgnorePortUnreachable(socket));
}

int TIdStackWinsock::WSSetBroadcast(TIdStackSocketHandle socket, bool enabled)
{
    const int value = enabled ? BroadcastOn : BroadcastOff;
    return ::setsockopt(ToSocket(socket), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&value),
                        sizeof value);
}

long TIdStackWinsock::WSSendTo(TIdStackSocketHandle socket, const void* data, std::size_t length,
                               const TIdIPv4Address& address, std::uint16_t port)
{
    if (length > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        ::WSASetLastError(WSAEMSGSIZE);
        return Id_SOCKET_ERROR;
    }
    const sockaddr_in to = ToSocketAddress(address, port);
    return ::sendto(ToSocket(socket), static_cast<const char*>(data), static_cast<int>(length), 0,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

long TIdStackWinsock::WSRecvFrom(TIdStackSocketHandle socket, void* buffer, std::size_t size,
                                 TIdIPv4Address& sender, std::uint16_t& senderPort, bool wait)
{
    // Winsock has no per-call "do not wait": a socket with nothing to read
    // fails at once as a non-blocking one would.
    if (!wait) {
        const int ready = WSWaitReadable(socket, 0, {});
        if (ready == 0)
            ::WSASetLastError(WSAEWOULDBLOCK);
        if (ready != 1)
            return Id_SOCKET_ERROR;
    }
    const bool takesAny = size >= LargestDatagram;
    char* into = takesAny ? static_cast<char*>(buffer) : WholeDatagram().data();
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int received = ::recvfrom(ToSocket(socket), into, static_cast<int>(LargestDatagram), 0,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received == SOCKET_ERROR)
        return Id_SOCKET_ERROR;
    if (!takesAny)
        std::copy_n(into, std::min(size, static_cast<std::size_t>(received)), static_cast<char*>(buffer));
    sender = FromSocketAddress(from, senderPort);
    return received;
}

int TIdStackWinsock::WSWaitReadable(TIdStackSocketHandle socket, std::int32_t timeoutMs,
                                    std::span<const int> wakeOn)
{
    const bool unlimited = timeoutMs == IdTimeoutInfinite;
    if ((!unlimited && timeoutMs < 0) || wakeOn.size() >= MaxWaitSockets) {
        ::WSASetLastError(WSAEINVAL);
        return Id_SOCKET_ERROR;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(ToSocket(socket), &readable);
        for (const int wake : wakeOn)
            FD_SET(ToSocket(wake), &readable);
        timeval limit = ToTimeval(unlimited ? 0 : MillisecondsUntil(deadline));
        // The first argument is ignored by Winsock.
        const int ready = ::select(0, &readable, nullptr, nullptr, unlimited ? nullptr : &limit);
        if (ready == SOCKET_ERROR)
            return Id_SOCKET_ERROR;
        if (ready > 0)
            return FD_ISSET(ToSocket(socket), &readable) ? 1 : 0;
        // The system's clock ticks coarser than a millisecond: a wait it
        // ends a little early goes on for the rest.
        if (MillisecondsUntil(deadline) == 0)
            return 0;
    }
}

int TIdStackWinsock::WSGetSockName(TIdStackSocketHandle socket, TIdIPv4Address& address, std::uint16_t& port)
{
    sockaddr_in local{};
    int length = sizeof local;
    if (::getsockname(ToSocket(socket), reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR)
        return Id_SOCKET_ERROR;
    address = FromSocketAddress(local, port);
    return 0;
}

void TIdStackWinsock::WSCloseSocket(TIdStackSocketHandle socket)
{
    // An unconnected datagram socket refuses the shutdown (WSAENOTCONN); it
    // only matters that nothing is sent any more, and closesocket() sees to
    // that.
    ::shutdown(ToSocket(socket), SD_SEND);
    ::closesocket(ToSocket(socket));
}

std::int32_t TIdStackWinsock::WSLookupHost(const std::string& name, TIdIPv4Address& address)
{
    // A name with a NUL in it would be looked up cut short: it names no host.
    if (name.find('\0') != std::string::npos)
        return WSAHOST_NOT_FOUND;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    // getaddrinfo's failures are the resolver's Winsock numbers themselves.
    if (const int result = ::getaddrinfo(name.c_str(), nullptr, &hints, &found); result != 0)
        return result;
    std::uint16_t unusedPort = 0;
    address = FromSocketAddress(*reinterpret_cast<const sockaddr_in*>(found->ai_addr), unusedPort);
    ::freeaddrinfo(found);
    return 0;
}

std::unique_ptr<TIdStack> CreatePlatformStack()
{
    return std::make_unique<TIdStackWinsock>();
}

// Sockets, files and locks are handles on Windows, and a process may hold
// millions of them: there is no limit a fleet would reach, nor one to raise.
std::size_t RaiseDescriptorLimit()
{
    return std::numeric_limits<std::size_t>::max();
}
