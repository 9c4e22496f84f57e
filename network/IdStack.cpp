#include "network/IdStack.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

#include "network/IdException.h"

namespace {

constexpr const char* LocalHostName = "LOCALHOST";
constexpr const char* LoopbackAddress = "127.0.0.1";
constexpr std::int32_t LargestAddressPart = 255;
constexpr std::size_t AddressPartCount = 4;

constexpr std::pair<std::int32_t, const char*> SocketErrorTexts[] = {
    {Id_WSAEINTR, "Interrupted system call."},
    {Id_WSAEBADF, "Bad file number."},
    {Id_WSAEACCES, "Access denied."},
    {Id_WSAEFAULT, "Bad address."},
    {Id_WSAEINVAL, "Invalid argument."},
    {Id_WSAEMFILE, "Too many open files."},
    {Id_WSAEWOULDBLOCK, "Operation would block. "},
    {Id_WSAEINPROGRESS, "Operation now in progress."},
    {Id_WSAEALREADY, "Operation already in progress."},
    {Id_WSAENOTSOCK, "Socket operation on non-socket."},
    {Id_WSAEDESTADDRREQ, "Destination address required."},
    {Id_WSAEMSGSIZE, "Message too long."},
    {Id_WSAEPROTOTYPE, "Protocol wrong type for socket."},
    {Id_WSAENOPROTOOPT, "Bad protocol option."},
    {Id_WSAEPROTONOSUPPORT, "Protocol not supported."},
    {Id_WSAESOCKTNOSUPPORT, "Socket type not supported."},
    {Id_WSAEOPNOTSUPP, "Operation not supported on socket."},
    {Id_WSAEPFNOSUPPORT, "Protocol family not supported."},
    {Id_WSAEAFNOSUPPORT, "Address family not supported by protocol family."},
    {Id_WSAEADDRINUSE, "Address already in use."},
    {Id_WSAEADDRNOTAVAIL, "Cannot assign requested address."},
    {Id_WSAENETDOWN, "Network is down."},
    {Id_WSAENETUNREACH, "Network is unreachable."},
    {Id_WSAENETRESET, "Net dropped connection or reset."},
    {Id_WSAECONNABORTED, "Software caused connection abort."},
    {Id_WSAECONNRESET, "Connection reset by peer."},
    {Id_WSAENOBUFS, "No buffer space available."},
    {Id_WSAEISCONN, "Socket is already connected."},
    {Id_WSAENOTCONN, "Socket is not connected."},
    {Id_WSAESHUTDOWN, "Cannot send or receive after socket is closed."},
    {Id_WSAETOOMANYREFS, "Too many references, cannot splice."},
    {Id_WSAETIMEDOUT, "Connection timed out."},
    {Id_WSAECONNREFUSED, "Connection refused."},
    {Id_WSAELOOP, "Too many levels of symbolic links."},
    {Id_WSAENAMETOOLONG, "File name too long."},
    {Id_WSAEHOSTDOWN, "Host is down."},
    {Id_WSAEHOSTUNREACH, "No route to host."},
    {Id_WSAENOTEMPTY, "Directory not empty"},
};

// The runtime's integer conversion: an optional sign and decimal digits that
// fit 32 bits, nothing else (no blanks).
std::optional<std::int32_t> ToInteger(const std::string& text)
{
    const char* first = text.data();
    const char* last = first + text.size();
    if (last - first > 1 && *first == '+' && std::isdigit(static_cast<unsigned char>(first[1])))
        ++first;
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last)
        return std::nullopt;
    return value;
}

// Cuts off the part before the first "." and returns it; without a ".", the
// whole rest is the part.
std::string CutPart(std::string& rest)
{
    const std::size_t dot = rest.find('.');
    std::string part = rest.substr(0, dot);
    rest = dot == std::string::npos ? std::string() : rest.substr(dot + 1);
    return part;
}

bool EqualsIgnoringCase(const std::string& text, const std::string& upperCase)
{
    return std::equal(text.begin(), text.end(), upperCase.begin(), upperCase.end(),
                      [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
}

} // namespace

std::optional<TIdIPv4Address> TIdStack::ParseDotted(const std::string& text)
{
    std::string rest = text;
    TIdIPv4Address address{};
    for (std::size_t i = 0; i < AddressPartCount; ++i) {
        const std::string part = i + 1 < AddressPartCount ? CutPart(rest) : rest;
        const auto value = ToInteger(part);
        if (!value || *value < 0 || *value > LargestAddressPart)
            return std::nullopt;
        address[i] = static_cast<std::uint8_t>(*value);
    }
    return address;
}

std::string TIdStack::AddressToText(const TIdIPv4Address& address)
{
    std::string text;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i > 0)
            text += '.';
        text += std::to_string(address[i]);
    }
    return text;
}

std::string TIdStack::ResolveAddress(const std::string& host)
{
    if (EqualsIgnoringCase(host, LocalHostName))
        return LoopbackAddress;
    if (IsIP(host))
        return host;
    TIdIPv4Address address{};
    if (const std::int32_t error = WSLookupHost(host, address); error != 0)
        RaiseSocketError(error);
    return AddressToText(address);
}

std::string TIdStack::SocketErrorText(std::int32_t errorNumber)
{
    for (const auto& [number, text] : SocketErrorTexts) {
        if (number == errorNumber)
            return text;
    }
    return {};
}

void TIdStack::RaiseSocketError(std::int32_t errorNumber)
{
    throw EIdSocketError(errorNumber, "Socket Error # " + std::to_string(errorNumber) + "\r\n" +
                                          SocketErrorText(errorNumber));
}

int TIdStack::MillisecondsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void TIdStack::CheckForSocketError(long result) const
{
    if (result == Id_SOCKET_ERROR)
        RaiseSocketError(WSGetLastError());
}
