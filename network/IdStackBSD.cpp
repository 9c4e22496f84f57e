#include "network/IdStackBSD.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <array>
#include <chrono>
#include <cstring>
#include <utility>

#include "network/SocketAddress.h"

namespace {

constexpr std::pair<int, std::int32_t> SystemErrors[] = {
    {EINTR, Id_WSAEINTR},
    {EBADF, Id_WSAEBADF},
    {EACCES, Id_WSAEACCES},
    {EPERM, Id_WSAEACCES},
    {EFAULT, Id_WSAEFAULT},
    {EINVAL, Id_WSAEINVAL},
    {EMFILE, Id_WSAEMFILE},
    {EWOULDBLOCK, Id_WSAEWOULDBLOCK}, // also EAGAIN
    {EINPROGRESS, Id_WSAEINPROGRESS},
    {EALREADY, Id_WSAEALREADY},
    {ENOTSOCK, Id_WSAENOTSOCK},
    {EDESTADDRREQ, Id_WSAEDESTADDRREQ},
    {EMSGSIZE, Id_WSAEMSGSIZE},
    {EPROTOTYPE, Id_WSAEPROTOTYPE},
    {ENOPROTOOPT, Id_WSAENOPROTOOPT},
    {EPROTONOSUPPORT, Id_WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, Id_WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, Id_WSAEOPNOTSUPP},
    {EPFNOSUPPORT, Id_WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, Id_WSAEAFNOSUPPORT},
    {EADDRINUSE, Id_WSAEADDRINUSE},
    {EADDRNOTAVAIL, Id_WSAEADDRNOTAVAIL},
    {ENETDOWN, Id_WSAENETDOWN},
    {ENETUNREACH, Id_WSAENETUNREACH},
    {ENETRESET, Id_WSAENETRESET},
    {ECONNABORTED, Id_WSAECONNABORTED},
    {ECONNRESET, Id_WSAECONNRESET},
    {ENOBUFS, Id_WSAENOBUFS},
    {EISCONN, Id_WSAEISCONN},
    {ENOTCONN, Id_WSAENOTCONN},
    {ESHUTDOWN, Id_WSAESHUTDOWN},
    {EPIPE, Id_WSAESHUTDOWN},
    {ETOOMANYREFS, Id_WSAETOOMANYREFS},
    {ETIMEDOUT, Id_WSAETIMEDOUT},
    {ECONNREFUSED, Id_WSAECONNREFUSED},
    {ELOOP, Id_WSAELOOP},
    {ENAMETOOLONG, Id_WSAENAMETOOLONG},
    {EHOSTDOWN, Id_WSAEHOSTDOWN},
    {EHOSTUNREACH, Id_WSAEHOSTUNREACH},
    {ENOTEMPTY, Id_WSAENOTEMPTY},
};

constexpr int PollWithoutLimit = -1;
// The socket and the descriptors that may wake a wait on it.
constexpr std::size_t MaxWaitDescriptors = 4;
constexpr int BroadcastOn = -1; // all bits set
constexpr int BroadcastOff = 0;

// Repeats a system call that a signal interrupted before it did anything.
template <typename Call>
auto RetryOnInterrupt(Call call)
{
    auto result = call();
    while (result < 0 && errno == EINTR)
        result = call();
    return result;
}

} // namespace

std::int32_t TIdStackBSD::TranslateSystemError(int code)
{
    for (const auto& [system, number] : SystemErrors) {
        if (system == code)
            return number;
    }
    return code;
}

std::int32_t TIdStackBSD::TranslateResolverError(int code)
{
    switch (code) {
    case EAI_NONAME:
        return Id_WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return Id_WSATRY_AGAIN;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return Id_WSANO_DATA;
    case EAI_MEMORY:
        return Id_WSAENOBUFS;
    case EAI_SYSTEM:
        if (errno != 0)
            return TranslateSystemError(errno);
        return Id_WSANO_RECOVERY;
    default:
        return Id_WSANO_RECOVERY;
    }
}

std::int32_t TIdStackBSD::WSGetLastError() const
{
    return TranslateSystemError(errno);
}

TIdStackSocketHandle TIdStackBSD::WSSocket()
{
    // Close-on-exec: programs the updater starts must not inherit the socket.
    const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return socket < 0 ? Id_INVALID_SOCKET : socket;
}

int TIdStackBSD::WSSetBroadcast(TIdStackSocketHandle socket, bool enabled)
{
    const int value = enabled ? BroadcastOn : BroadcastOff;
    return ::setsockopt(socket, SOL_SOCKET, SO_BROADCAST, &value, sizeof value);
}

long TIdStackBSD::WSSendTo(TIdStackSocketHandle socket, const void* data, std::size_t length,
                           const TIdIPv4Address& address, std::uint16_t port)
{
    const sockaddr_in to = ToSocketAddress(address, port);
    // MSG_NOSIGNAL: a send on a socket shut down for sending fails with an
    // error instead of ending the program with SIGPIPE.
    return RetryOnInterrupt([&] {
        return ::sendto(socket, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    });
}

long TIdStackBSD::WSRecvFrom(TIdStackSocketHandle socket, void* buffer, std::size_t size,
                             TIdIPv4Address& sender, std::uint16_t& senderPort, bool wait)
{
    sockaddr_in from{};
    iovec part{buffer, size};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    // MSG_TRUNC: the system cuts a datagram that does not fit, and with this
    // flag still tells its whole length.
    const int flags = MSG_TRUNC | (wait ? 0 : MSG_DONTWAIT);
    const ssize_t received = RetryOnInterrupt([&] { return ::recvmsg(socket, &message, flags); });
    if (received < 0)
        return Id_SOCKET_ERROR;
    sender = FromSocketAddress(from, senderPort);
    return received;
}

int TIdStackBSD::WSWaitReadable(TIdStackSocketHandle socket, std::int32_t timeoutMs, std::span<const int> wakeOn)
{
    const bool unlimited = timeoutMs == IdTimeoutInfinite;
    if ((!unlimited && timeoutMs < 0) || wakeOn.size() >= MaxWaitDescriptors) {
        errno = EINVAL;
        return Id_SOCKET_ERROR;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::array<pollfd, MaxWaitDescriptors> entries{};
    entries[0] = {socket, POLLIN, 0};
    for (std::size_t k = 0; k < wakeOn.size(); ++k)
        entries[k + 1] = {wakeOn[k], POLLIN, 0};
    for (;;) {
        const int ready =
            ::poll(entries.data(), wakeOn.size() + 1, unlimited ? PollWithoutLimit : MillisecondsUntil(deadline));
        if (ready >= 0)
            return (entries[0].revents & POLLIN) != 0 ? 1 : 0;
        if (errno != EINTR)
            return Id_SOCKET_ERROR;
    }
}

int TIdStackBSD::WSGetSockName(TIdStackSocketHandle socket, TIdIPv4Address& address, std::uint16_t& port)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) < 0)
        return Id_SOCKET_ERROR;
    address = FromSocketAddress(local, port);
    return 0;
}

void TIdStackBSD::WSCloseSocket(TIdStackSocketHandle socket)
{
    // An unconnected datagram socket refuses the shutdown (ENOTCONN); it only
    // matters that nothing is sent any more, and close() sees to that.
    ::shutdown(socket, SHUT_WR);
    ::close(socket);
}

std::int32_t TIdStackBSD::WSLookupHost(const std::string& name, TIdIPv4Address& address)
{
    // A name with a NUL in it would be looked up cut short: it names no host.
    if (name.find('\0') != std::string::npos)
        return Id_WSAHOST_NOT_FOUND;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    errno = 0;
    if (const int result = ::getaddrinfo(name.c_str(), nullptr, &hints, &found); result != 0)
        return TranslateResolverError(result);
    std::uint16_t unusedPort = 0;
    address = FromSocketAddress(*reinterpret_cast<const sockaddr_in*>(found->ai_addr), unusedPort);
    ::freeaddrinfo(found);
    return 0;
}

std::unique_ptr<TIdStack> CreatePlatformStack()
{
    return std::make_unique<TIdStackBSD>();
}

std::size_t RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return std::numeric_limits<std::size_t>::max();
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<std::size_t>::max()
                                           : static_cast<std::size_t>(limit.rlim_cur);
}
