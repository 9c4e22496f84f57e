#include "cli/AddressText.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

namespace {

// What the system's conversions return when they succeed.
constexpr LONG ConvertedStatus = 0;
// Any of the forms inet_aton takes, not dotted decimal alone.
constexpr BOOLEAN AnyForm = FALSE;

} // namespace

// Not inet_addr: it cannot tell 255.255.255.255 from a failure.
bool IsInetAddress(const std::string& text)
{
    IN_ADDR address{};
    LPSTR end = nullptr;
    return ::RtlIpv4StringToAddressA(text.c_str(), AnyForm, &end, &address) == ConvertedStatus && *end == '\0';
}
