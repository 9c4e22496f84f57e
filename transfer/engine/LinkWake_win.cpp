#include "transfer/engine/LinkWake.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <array>

// A loopback datagram socket connected to itself: a signal is a byte sent to
// it, an emptying reads what it holds. An event object would be lighter, but
// the waits on Windows (select and WSAPoll over the board's socket, Qt's
// socket notifier) watch sockets only. Its handle is passed as an int, as
// every socket's is: Windows gives handles with 32 significant bits.
namespace LinkWake {

namespace {

// Winsock is started once, for the program's life: the wake of every link
// is made before any other socket and is never closed.
bool WinsockStarted()
{
    static const bool started = [] {
        WSADATA data{};
        constexpr WORD Version22 = MAKEWORD(2, 2);
        return ::WSAStartup(Version22, &data) == 0;
    }();
    return started;
}

SOCKET ToSocket(int wake)
{
    return static_cast<SOCKET>(static_cast<unsigned int>(wake));
}

// Binds the socket to a loopback port of the system's choice and connects it
// there, so that what it sends comes back to it alone; non-blocking, so that
// neither a signal into a full queue nor an emptying ever waits.
bool ConnectToItself(SOCKET socket)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
           ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           ::connect(socket, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
           ::ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

} // namespace

int Make()
{
    if (!WinsockStarted())
        return -1;
    const SOCKET socket = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET)
        return -1;
    if (!ConnectToItself(socket)) {
        ::closesocket(socket);
        return -1;
    }
    return static_cast<int>(socket);
}

void Signal(int wake)
{
    // A full queue already makes the socket readable: a failed send is as good.
    const char one = 1;
    if (wake != -1)
        ::send(ToSocket(wake), &one, sizeof one, 0);
}

void Empty(int wake)
{
    std::array<char, 1> taken{};
    while (wake != -1 && ::recv(ToSocket(wake), taken.data(), static_cast<int>(taken.size()), 0) != SOCKET_ERROR) {
    }
}

void Close(int wake)
{
    if (wake != -1)
        ::closesocket(ToSocket(wake));
}

} // namespace LinkWake
