#include "transfer/board/BoardIdentity.h"

#include <climits>
#include <cstdlib>

#include "serial/CPortDevice.h"

std::string SerialDeviceName(const std::string& port)
{
    const std::string device = ComDevicePath(port);
    char resolved[PATH_MAX];
    // A device that is not there keeps its name: opening it fails anyway.
    return ::realpath(device.c_str(), resolved) != nullptr ? std::string(resolved) : device;
}
