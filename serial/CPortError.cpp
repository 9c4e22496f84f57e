#include "serial/CPort.h"

#include <array>
#include <string_view>

namespace {

// Indexed by code - 1.
constexpr std::array<std::string_view, ecRegistry> MessageTexts = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

std::string WithOsError(std::int32_t code, std::int32_t osError)
{
    return EComPort::Text(code) + " (win error code: " + std::to_string(osError) + ")";
}

} // namespace

std::string EComPort::Text(std::int32_t code)
{
    if (code < ecOpen || code > ecRegistry)
        return {};
    return std::string(MessageTexts[static_cast<std::size_t>(code - ecOpen)]);
}

EComPort::EComPort(std::int32_t code, std::int32_t osError)
    : std::runtime_error(WithOsError(code, osError)), Code(code), OsError(osError)
{
}

EComPort::EComPort(std::int32_t code) : std::runtime_error(Text(code)), Code(code), OsError(NoOsError) {}
