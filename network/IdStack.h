// The socket stack: one process-wide object that serves every socket
// component. Its portable half (this class) knows address texts, host
// resolution and the socket error numbers with their texts; the platform half
// (a subclass, see CreatePlatformStack) makes the system calls.
//
// Error numbers are those of the socket error table (10004-10066) on every
// platform: they are Winsock's own, and elsewhere the platform half maps its
// error codes onto them, so that an operator sees the same texts everywhere.
// Host lookups fail with the resolver numbers 11001-11004, which have no text.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

// A socket: a descriptor on POSIX, a handle on Windows, whose value has 32
// significant bits there (so that 32- and 64-bit programs can share handles).
using TIdStackSocketHandle = int;
inline constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
// What a failing platform call returns; the reason is in WSGetLastError().
inline constexpr int Id_SOCKET_ERROR = -1;

// Time-out arguments of the receive operations, in milliseconds, or:
inline constexpr std::int32_t IdTimeoutDefault = -1;  // use the component's ReceiveTimeout
inline constexpr std::int32_t IdTimeoutInfinite = -2; // wait without limit

// An IPv4 address, its bytes in the order they are written in dotted text.
using TIdIPv4Address = std::array<std::uint8_t, 4>;

// The socket error numbers.
inline constexpr std::int32_t Id_WSAEINTR = 10004;
inline constexpr std::int32_t Id_WSAEBADF = 10009;
inline constexpr std::int32_t Id_WSAEACCES = 10013;
inline constexpr std::int32_t Id_WSAEFAULT = 10014;
inline constexpr std::int32_t Id_WSAEINVAL = 10022;
inline constexpr std::int32_t Id_WSAEMFILE = 10024;
inline constexpr std::int32_t Id_WSAEWOULDBLOCK = 10035;
inline constexpr std::int32_t Id_WSAEINPROGRESS = 10036;
inline constexpr std::int32_t Id_WSAEALREADY = 10037;
inline constexpr std::int32_t Id_WSAENOTSOCK = 10038;
inline constexpr std::int32_t Id_WSAEDESTADDRREQ = 10039;
inline constexpr std::int32_t Id_WSAEMSGSIZE = 10040;
inline constexpr std::int32_t Id_WSAEPROTOTYPE = 10041;
inline constexpr std::int32_t Id_WSAENOPROTOOPT = 10042;
inline constexpr std::int32_t Id_WSAEPROTONOSUPPORT = 10043;
inline constexpr std::int32_t Id_WSAESOCKTNOSUPPORT = 10044;
inline constexpr std::int32_t Id_WSAEOPNOTSUPP = 10045;
inline constexpr std::int32_t Id_WSAEPFNOSUPPORT = 10046;
inline constexpr std::int32_t Id_WSAEAFNOSUPPORT = 10047;
inline constexpr std::int32_t Id_WSAEADDRINUSE = 10048;
inline constexpr std::int32_t Id_WSAEADDRNOTAVAIL = 10049;
inline constexpr std::int32_t Id_WSAENETDOWN = 10050;
inline constexpr std::int32_t Id_WSAENETUNREACH = 10051;
inline constexpr std::int32_t Id_WSAENETRESET = 10052;
inline constexpr std::int32_t Id_WSAECONNABORTED = 10053;
inline constexpr std::int32_t Id_WSAECONNRESET = 10054;
inline constexpr std::int32_t Id_WSAENOBUFS = 10055;
inline constexpr std::int32_t Id_WSAEISCONN = 10056;
inline constexpr std::int32_t Id_WSAENOTCONN = 10057;
inline constexpr std::int32_t Id_WSAESHUTDOWN = 10058;
inline constexpr std::int32_t Id_WSAETOOMANYREFS = 10059;
inline constexpr std::int32_t Id_WSAETIMEDOUT = 10060;
inline constexpr std::int32_t Id_WSAECONNREFUSED = 10061;
inline constexpr std::int32_t Id_WSAELOOP = 10062;
inline constexpr std::int32_t Id_WSAENAMETOOLONG = 10063;
inline constexpr std::int32_t Id_WSAEHOSTDOWN = 10064;
inline constexpr std::int32_t Id_WSAEHOSTUNREACH = 10065;
inline constexpr std::int32_t Id_WSAENOTEMPTY = 10066;
// The resolver's numbers.
inline constexpr std::int32_t Id_WSAHOST_NOT_FOUND = 11001;
inline constexpr std::int32_t Id_WSATRY_AGAIN = 11002;
inline constexpr std::int32_t Id_WSANO_RECOVERY = 11003;
inline constexpr std::int32_t Id_WSANO_DATA = 11004;

class TIdStack {
public:
    virtual ~TIdStack() = default;

    // --- Address texts ---------------------------------------------------

    // The four numbers of a dotted IPv4 address, or nothing when `text` is not
    // one. The text is cut at its first three dots; each of the four parts
    // must be a decimal integer (an optional sign, digits, nothing else) from
    // 0 to 255. So "192.168.000.010" is 192.168.0.10, while "192.168.0.300",
    // "1.2.3", "1.2.3.4.5" and " 1.2.3.4" are not addresses.
    static std::optional<TIdIPv4Address> ParseDotted(const std::string& text);
    static bool IsIP(const std::string& text) { return ParseDotted(text).has_value(); }
    // Four decimal numbers joined by ".".
    static std::string AddressToText(const TIdIPv4Address& address);

    // The dotted address a host text stands for: "localhost" in any case is
    // "127.0.0.1"; a dotted address is used unchanged; anything else,
    // including the empty text, goes to the host-name resolver, whose first
    // IPv4 address is the result. A failed lookup raises EIdSocketError with
    // the resolver's number.
    std::string ResolveAddress(const std::string& host);

    // --- Errors -------------------------------------------------------------

    // The text of a socket error number; empty for numbers not in the table.
    static std::string SocketErrorText(std::int32_t errorNumber);
    // Raises EIdSocketError with "Socket Error # %d\r\n%s".
    [[noreturn]] static void RaiseSocketError(std::int32_t errorNumber);
    // Raises the socket error for WSGetLastError() when `result` is
    // Id_SOCKET_ERROR; any other result passes.
    void CheckForSocketError(long result) const;

    // --- Platform calls -----------------------------------------------------
    // Each returns Id_SOCKET_ERROR (or Id_INVALID_SOCKET) on failure and leaves
    // the reason for WSGetLastError(). None of them raises.

    // The socket error number of the calling thread's last failed call.
    virtual std::int32_t WSGetLastError() const = 0;
    // A new IPv4 datagram socket, unbound.
    virtual TIdStackSocketHandle WSSocket() = 0;
    // Sets the socket's broadcast permission.
    virtual int WSSetBroadcast(TIdStackSocketHandle socket, bool enabled) = 0;
    // Sends one datagram; returns the number of bytes sent.
    virtual long WSSendTo(TIdStackSocketHandle socket, const void* data, std::size_t length,
                          const TIdIPv4Address& address, std::uint16_t port) = 0;
    // Receives one datagram with its sender, copying at most `size` bytes of
    // it; returns the datagram's whole length, which exceeds `size` when the
    // datagram was cut (the rest of it is gone). Without `wait`, a socket
    // that holds no datagram fails at once with Id_WSAEWOULDBLOCK.
    virtual long WSRecvFrom(TIdStackSocketHandle socket, void* buffer, std::size_t size,
                            TIdIPv4Address& sender, std::uint16_t& senderPort, bool wait) = 0;
    // Waits until the socket is readable: 1 when it is, 0 when `timeoutMs`
    // passed first (IdTimeoutInfinite: no limit) or one of the `wakeOn`
    // descriptors turned readable. Interruptions by signals neither end the
    // wait early nor make it longer.
    virtual int WSWaitReadable(TIdStackSocketHandle socket, std::int32_t timeoutMs,
                               std::span<const int> wakeOn) = 0;
    // The local address and port the system gave the socket.
    virtual int WSGetSockName(TIdStackSocketHandle socket, TIdIPv4Address& address,
                              std::uint16_t& port) = 0;
    // Shuts the sending direction down and closes the socket.
    virtual void WSCloseSocket(TIdStackSocketHandle socket) = 0;
    // Looks a host name up; 0, or the resolver's error number.
    virtual std::int32_t WSLookupHost(const std::string& name, TIdIPv4Address& address) = 0;

protected:
    // Whole milliseconds until `deadline`, rounded up so that a wait never
    // ends before it; 0 once it has passed.
    static int MillisecondsUntil(std::chrono::steady_clock::time_point deadline);
};

// The stack of the platform the program runs on.
std::unique_ptr<TIdStack> CreatePlatformStack();

// Raises the process's soft limit of open descriptors to the hard one: a
// fleet of a thousand boards needs a socket each (and its simulated boards a
// pipe each), beyond the usual 1024. Returns the soft limit it leaves.
std::size_t RaiseDescriptorLimit();
